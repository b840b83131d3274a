# External dependencies, all from Debian packages (see scripts/setup).
find_package(Threads REQUIRED)
find_package(nlohmann_json 3.10 REQUIRED)
find_package(PkgConfig REQUIRED)
pkg_check_modules(SNDFILE REQUIRED IMPORTED_TARGET sndfile)
pkg_check_modules(SOXR REQUIRED IMPORTED_TARGET soxr)
find_package(CURL 7.85 REQUIRED)  # CURLOPT_PROTOCOLS_STR

# Public: appear in the installed headers. Private: implementation only.
set(KIVO_PUBLIC_DEPS nlohmann_json::nlohmann_json Threads::Threads)
set(KIVO_PRIVATE_DEPS PkgConfig::SOXR)
