# Third-party libraries: Debian packages, and the LZFSE reference library
# built from the source distribution of the PyPI package "lzfse".

find_package(ZLIB REQUIRED)
find_package(BZip2 REQUIRED)
find_package(LibLZMA REQUIRED)
find_package(EXPAT REQUIRED)
find_package(TBB REQUIRED)
find_package(PkgConfig REQUIRED)
pkg_check_modules(PLIST REQUIRED IMPORTED_TARGET libplist-2.0)
pkg_check_modules(LIBDEFLATE REQUIRED IMPORTED_TARGET libdeflate)
pkg_check_modules(UTF8PROC REQUIRED IMPORTED_TARGET libutf8proc)

set(LZFSE_SOURCE_DIR "${CMAKE_SOURCE_DIR}/.deps/lzfse" CACHE PATH "Unpacked source of the lzfse package")
if(NOT EXISTS "${LZFSE_SOURCE_DIR}/lzfse/src/lzfse.h")
  execute_process(
    COMMAND bash "${CMAKE_SOURCE_DIR}/scripts/fetch-lzfse.sh" "${LZFSE_SOURCE_DIR}"
    RESULT_VARIABLE fetch_result)
  if(NOT fetch_result EQUAL 0)
    message(FATAL_ERROR "could not fetch the lzfse sources into ${LZFSE_SOURCE_DIR}")
  endif()
endif()
file(GLOB LZFSE_SOURCES "${LZFSE_SOURCE_DIR}/lzfse/src/*.c")
list(FILTER LZFSE_SOURCES EXCLUDE REGEX "lzfse_main\\.c$")
add_library(lzfse STATIC ${LZFSE_SOURCES})
target_include_directories(lzfse SYSTEM PUBLIC "${LZFSE_SOURCE_DIR}/lzfse/src")
target_compile_options(lzfse PRIVATE -w)
# Two UBSan checks report by-design arithmetic in the reference sources and
# are turned off for this target alone (without a sanitizer the flags do
# nothing, so every sanitized build, fuzzing included, gets them):
# - shift: the encoder shifts by -1 in a table value it never uses
#   (fse_init_encoder_table with k == 0);
# - pointer-overflow: the decoder copies overlapping matches as
#   dst[i - D] with an unsigned i < D, relying on the index wrapping round to
#   the address D - i bytes back (lzfse_decode_lmd).  The address it reaches
#   is in bounds: the decoder checks D against the bytes already written,
#   and AddressSanitizer still sees every access.
target_compile_options(lzfse PRIVATE -fno-sanitize=shift -fno-sanitize=pointer-overflow)
