# Makes the page one file that works opened from disk: its script, bundled with
# the package it is built on (and so the worker's source and the WebAssembly),
# goes in whole.
#   cmake -DSCRIPT=page.js -DSOURCE=web -DVERSION=x.y.z -DOUT=index.html -P page.cmake
file(READ ${SCRIPT} PAGE_SCRIPT)
# Either would end the script element that holds it.
if(PAGE_SCRIPT MATCHES "</script|<!--")
  message(FATAL_ERROR "the page's script holds text that would end its script element")
endif()
set(TORVEX_VERSION ${VERSION})
configure_file(${SOURCE}/index.html ${OUT} @ONLY)
