# External dependencies, all from Debian packages (see scripts/setup).
find_package(Threads REQUIRED)
find_package(nlohmann_json 3.10 REQUIRED)
find_package(PkgConfig REQUIRED)
pkg_check_modules(SNDFILE REQUIRED IMPORTED_TARGET sndfile)
pkg_check_modules(SOXR REQUIRED IMPORTED_TARGET soxr)
pkg_check_modules(ALSA REQUIRED IMPORTED_TARGET alsa)
# GeoClue2 for location fixes: optional; without it the location supplier has no system source.
option(KIVO_WITH_GEOCLUE "Build the GeoClue2 location source when libgeoclue-2.0 is found" ON)
set(KIVO_GEOCLUE_TARGET "")
if(KIVO_WITH_GEOCLUE)
  pkg_check_modules(GEOCLUE IMPORTED_TARGET libgeoclue-2.0)
  if(GEOCLUE_FOUND)
    set(KIVO_GEOCLUE_TARGET PkgConfig::GEOCLUE)
  endif()
endif()
find_package(CURL 7.85 REQUIRED)  # CURLOPT_PROTOCOLS_STR

# Public: appear in the installed headers. Private: implementation only.
set(KIVO_PUBLIC_DEPS nlohmann_json::nlohmann_json Threads::Threads)
set(KIVO_PRIVATE_DEPS PkgConfig::SOXR PkgConfig::ALSA)
