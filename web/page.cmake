# Makes the page one file that works opened from disk: the module (with its
# WebAssembly inside), the bundle of reading and checksums and the worker go in as the
# worker's source, the page's script after them.
#   cmake -DMODULE=torvex-web.js -DCHECKSUMS=checksums.js -DSOURCE=web -DVERSION=x.y.z
#         -DOUT=index.html -P page.cmake
file(READ ${MODULE} module)
file(READ ${CHECKSUMS} checksums)
file(READ ${SOURCE}/worker.js worker)
file(READ ${SOURCE}/page.js PAGE_SCRIPT)
set(WORKER_SOURCE "${module}\n${checksums}\n${worker}")
foreach(part WORKER_SOURCE PAGE_SCRIPT)
  # Either would end the script element that holds it.
  if(${part} MATCHES "</script|<!--")
    message(FATAL_ERROR "${part} holds text that would end its script element")
  endif()
endforeach()
set(TORVEX_VERSION ${VERSION})
configure_file(${SOURCE}/index.html ${OUT} @ONLY)
