# The Debian package built from this build directory, unpacked into a scratch
# root and run there (scripts/package-test.sh). Not in the sanitizer build,
# whose binaries are not the ones shipped.
add_test(NAME package COMMAND bash ${PROJECT_SOURCE_DIR}/scripts/package-test.sh ${CMAKE_BINARY_DIR} ${PROJECT_VERSION})
set_tests_properties(package PROPERTIES TIMEOUT 900 DISABLED ${KX29_SANITIZE})
# The service as installed: restarts, hardening (systemd-analyze verify and
# security), the configuration's group and the maintainer scripts that make it.
add_test(NAME package_service COMMAND bash ${PROJECT_SOURCE_DIR}/packaging/service-test.sh ${CMAKE_BINARY_DIR})
set_tests_properties(package_service PROPERTIES SKIP_RETURN_CODE 77)
