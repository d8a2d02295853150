# Every package the build looks up, once, as Debian installs it (scripts/setup.sh lists the packages). The
# targets are global so that every area links them by the same names.
find_package(Threads REQUIRED)
find_package(PkgConfig REQUIRED)
find_package(Python3 REQUIRED COMPONENTS Interpreter)
find_package(simdjson REQUIRED)
find_package(OpenSSL 3 REQUIRED)
find_package(CLI11 REQUIRED)
find_path(TESSALY_ASIO_INCLUDE_DIR asio.hpp REQUIRED)
pkg_check_modules(SYSTEMD REQUIRED IMPORTED_TARGET GLOBAL libsystemd)
pkg_check_modules(PLIST REQUIRED IMPORTED_TARGET GLOBAL libplist-2.0)
pkg_check_modules(LIBSECRET REQUIRED IMPORTED_TARGET GLOBAL libsecret-1)
pkg_check_modules(UUID REQUIRED IMPORTED_TARGET GLOBAL uuid)

# The TPM is reached through OpenSSL's tpm2 provider (Debian's tpm2-openssl), which talks to it over libtss2.
# It is loaded at run time from OpenSSL's modules folder.
pkg_get_variable(TESSALY_OPENSSL_MODULES_DIR libcrypto modulesdir)
find_file(TESSALY_TPM2_PROVIDER tpm2.so PATHS "${TESSALY_OPENSSL_MODULES_DIR}" NO_DEFAULT_PATH)
if(NOT TESSALY_TPM2_PROVIDER)
  message(FATAL_ERROR "OpenSSL's tpm2 provider is not in '${TESSALY_OPENSSL_MODULES_DIR}': install tpm2-openssl")
endif()

if(TESSALY_BUILD_TESTS)
  enable_testing()
  find_package(GTest REQUIRED)
  include(GoogleTest)
endif()
if(TESSALY_BUILD_TESTS OR TESSALY_BUILD_BENCH)
  # A software TPM (swtpm) of each test's own.
  find_program(TESSALY_SWTPM swtpm REQUIRED)
endif()
if(TESSALY_BUILD_BENCH)
  find_package(benchmark REQUIRED)
  # The peers the model's reader is measured against.
  find_package(nlohmann_json 3 REQUIRED)
  find_package(Boost 1.81 REQUIRED COMPONENTS json)
endif()
