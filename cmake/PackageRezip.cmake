# Run by CPack once it has made the zips (CPACK_POST_BUILD_SCRIPTS): writes
# them again with fixed times, order and permissions (cmake/rezip.py).
execute_process(COMMAND ${CPACK_LARKSPAN_PYTHON} ${CPACK_LARKSPAN_SOURCE_DIR}/cmake/rezip.py
                        ${CPACK_LARKSPAN_SOURCE_DIR} ${CPACK_PACKAGE_FILES}
                COMMAND_ERROR_IS_FATAL ANY)
