# Every third-party library the C++ code links, found once here. The Debian
# packages that provide them are listed, with the reason for each, in
# scripts/debian-packages.txt.
find_package(Threads REQUIRED)
find_package(PkgConfig REQUIRED)
find_package(OpenSSL REQUIRED)            # SHA-256 of the log's hash chain
pkg_check_modules(XXHASH REQUIRED IMPORTED_TARGET libxxhash)   # XXH3
pkg_check_modules(LZ4 REQUIRED IMPORTED_TARGET liblz4)         # block compression
pkg_check_modules(ISAL REQUIRED IMPORTED_TARGET libisal)       # CRC-32C
find_package(nlohmann_json 3 REQUIRED)    # JSON lines
find_package(TBB REQUIRED)                # data-parallel pool, concurrent maps
if(ZV_BUILD_TESTS)
  find_package(GTest REQUIRED)
endif()
if(ZV_BUILD_BENCH AND NOT ZV_SANITIZE AND NOT ZV_FUZZ)
  find_package(benchmark REQUIRED)
endif()
