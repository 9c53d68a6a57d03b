# Lays out the JavaScript package (web/module) in OUT: its files, package.json of
# this version, and worker-source.js, which holds as a string the worker's whole
# source: the WebAssembly module (its binary inside), the checksums and web/worker.js.
#   cmake -DMODULE=torvex-web.js -DCHECKSUMS=checksums.js -DSOURCE=web -DVERSION=x.y.z
#         -DESBUILD=esbuild -DLICENSE=LICENSE -DOUT=node_modules/torvex -P module.cmake
file(READ ${MODULE} module)
file(READ ${CHECKSUMS} checksums)
file(READ ${SOURCE}/worker.js worker)
file(MAKE_DIRECTORY ${OUT})
file(WRITE ${OUT}/worker.txt "${module}\n${checksums}\n${worker}")
file(WRITE ${OUT}/source.js "export {default as WORKER_SOURCE} from './worker.txt';\n")
execute_process(COMMAND ${ESBUILD} source.js --bundle --format=esm --loader:.txt=text --log-level=warning
                        --outfile=worker-source.js
                WORKING_DIRECTORY ${OUT} COMMAND_ERROR_IS_FATAL ANY)
file(REMOVE ${OUT}/worker.txt ${OUT}/source.js)
file(COPY ${SOURCE}/module/core.js ${SOURCE}/module/index.js ${SOURCE}/module/node.js ${SOURCE}/module/index.d.ts
          ${LICENSE} DESTINATION ${OUT})
set(TORVEX_VERSION ${VERSION})
configure_file(${SOURCE}/module/package.json.in ${OUT}/package.json @ONLY)
