# The libraries behind libtiff's ZSTD, LZMA and LERC codecs (the compressions
# of GDAL's and cloud-optimized GeoTIFFs' elevation data), static, handed to
# libtiff's own build as the targets its find modules would make:
# ZSTD::ZSTD, LibLZMA::LibLZMA and LERC::LERC.
#
# Natively they are Debian's static libraries (libzstd-dev, liblzma-dev,
# liblerc-dev), so the native builds compile none of them. For Windows they
# are built here from Debian's source packages, which tools/setup unpacks
# into third_party/: once per build, warnings off, and only what libtiff's
# codec files link. hmap only decodes, so the parts that are there only
# because libtiff's encoders name them (zstd's compressor, liblzma's
# encoders) are compiled without optimising: they only have to link.

set(HMAP_ZSTD_DIR "${CMAKE_SOURCE_DIR}/third_party/zstd" CACHE PATH
    "zstd from Debian's libzstd source package (tools/setup unpacks it; the Windows build)")
set(HMAP_XZ_DIR "${CMAKE_SOURCE_DIR}/third_party/xz" CACHE PATH
    "liblzma from Debian's xz-utils source package (tools/setup unpacks it; the Windows build)")
set(HMAP_LERC_DIR "${CMAKE_SOURCE_DIR}/third_party/lerc" CACHE PATH
    "LERC from Debian's lerc source package (tools/setup unpacks it; the Windows build)")

if(NOT WIN32)
  foreach(codec ZSTD LZMA LERC)
    set(file_ZSTD libzstd.a)
    set(file_LZMA liblzma.a)
    set(file_LERC libLerc.a)
    find_library(HMAP_${codec}_LIBRARY NAMES ${file_${codec}})
    if(NOT HMAP_${codec}_LIBRARY)
      message(FATAL_ERROR "${file_${codec}} not found; run tools/setup first (it installs libzstd-dev, "
                          "liblzma-dev and liblerc-dev)")
    endif()
  endforeach()
  add_library(ZSTD::ZSTD STATIC IMPORTED GLOBAL)
  set_target_properties(ZSTD::ZSTD PROPERTIES IMPORTED_LOCATION "${HMAP_ZSTD_LIBRARY}")
  add_library(LibLZMA::LibLZMA STATIC IMPORTED GLOBAL)
  set_target_properties(LibLZMA::LibLZMA PROPERTIES IMPORTED_LOCATION "${HMAP_LZMA_LIBRARY}")
  add_library(LERC::LERC STATIC IMPORTED GLOBAL)
  set_target_properties(LERC::LERC PROPERTIES IMPORTED_LOCATION "${HMAP_LERC_LIBRARY}")
  # zstd's and liblzma's threads (in the C library itself since glibc 2.34).
  find_package(Threads REQUIRED)
  set_target_properties(ZSTD::ZSTD LibLZMA::LibLZMA PROPERTIES INTERFACE_LINK_LIBRARIES Threads::Threads)
  find_path(HMAP_ZSTD_INCLUDE zstd.h REQUIRED)
  find_path(HMAP_LZMA_INCLUDE lzma.h REQUIRED)
  find_path(HMAP_LERC_INCLUDE Lerc_c_api.h REQUIRED)
  foreach(codec ZSTD LZMA LERC)
    set(HMAP_${codec}_FILE "${HMAP_${codec}_LIBRARY}")
  endforeach()
else()
  foreach(probe zstd/lib/zstd.h xz/src/liblzma/api/lzma.h lerc/src/LercLib/include/Lerc_c_api.h)
    if(NOT EXISTS "${CMAKE_SOURCE_DIR}/third_party/${probe}")
      message(FATAL_ERROR "third_party/${probe} not found; run tools/setup first")
    endif()
  endforeach()

  # zstd: its decoder, and the single-threaded compressor that libtiff's
  # ZSTD and LERC_ZSTD encoders call.
  set(dir "${HMAP_ZSTD_DIR}/lib")
  file(GLOB zstd_compressor "${dir}/compress/*.c")
  list(FILTER zstd_compressor EXCLUDE REGEX "zstdmt_compress\\.c$")
  add_library(hmap_zstd STATIC
    "${dir}/common/debug.c" "${dir}/common/entropy_common.c" "${dir}/common/error_private.c"
    "${dir}/common/fse_decompress.c" "${dir}/common/xxhash.c" "${dir}/common/zstd_common.c"
    "${dir}/decompress/huf_decompress.c" "${dir}/decompress/zstd_ddict.c"
    "${dir}/decompress/zstd_decompress.c" "${dir}/decompress/zstd_decompress_block.c"
    ${zstd_compressor})
  target_include_directories(hmap_zstd SYSTEM PUBLIC "${dir}")
  target_compile_definitions(hmap_zstd PRIVATE XXH_NAMESPACE=ZSTD_ ZSTD_LEGACY_SUPPORT=0)
  set_source_files_properties(${zstd_compressor} PROPERTIES COMPILE_OPTIONS -O0)
  set(HMAP_ZSTD_INCLUDE "${dir}")

  # liblzma: the .xz stream decoder with the filters libtiff's LZMA codec
  # writes (delta, then LZMA2), and the stream encoder it calls; no threads.
  set(dir "${HMAP_XZ_DIR}/src/liblzma")
  set(lzma_encoders
    common/block_encoder.c common/block_header_encoder.c common/filter_encoder.c
    common/filter_flags_encoder.c common/index_encoder.c common/stream_encoder.c
    common/stream_flags_encoder.c common/vli_encoder.c delta/delta_encoder.c lz/lz_encoder.c
    lz/lz_encoder_mf.c lzma/fastpos_table.c lzma/lzma2_encoder.c lzma/lzma_encoder.c
    lzma/lzma_encoder_optimum_fast.c lzma/lzma_encoder_optimum_normal.c
    lzma/lzma_encoder_presets.c rangecoder/price_table.c)
  list(TRANSFORM lzma_encoders PREPEND "${dir}/")
  set(lzma_decoders
    check/check.c check/crc32_fast.c check/crc32_table.c check/crc64_fast.c check/crc64_table.c
    check/sha256.c common/block_decoder.c common/block_header_decoder.c common/block_util.c
    common/common.c common/filter_common.c common/filter_decoder.c common/filter_flags_decoder.c
    common/index.c common/index_hash.c common/stream_decoder.c common/stream_flags_common.c
    common/stream_flags_decoder.c common/vli_decoder.c common/vli_size.c delta/delta_common.c
    delta/delta_decoder.c lz/lz_decoder.c lzma/lzma2_decoder.c lzma/lzma_decoder.c)
  list(TRANSFORM lzma_decoders PREPEND "${dir}/")
  add_library(hmap_lzma STATIC ${lzma_decoders} ${lzma_encoders})
  target_include_directories(hmap_lzma SYSTEM PUBLIC "${dir}/api")
  target_include_directories(hmap_lzma PRIVATE "${dir}/common" "${dir}/check" "${dir}/lz" "${dir}/rangecoder"
                             "${dir}/lzma" "${dir}/delta" "${dir}/simple" "${HMAP_XZ_DIR}/src/common")
  target_compile_definitions(hmap_lzma PUBLIC LZMA_API_STATIC)
  target_compile_definitions(hmap_lzma PRIVATE
    HAVE_STDBOOL_H HAVE__BOOL HAVE_STDINT_H HAVE_INTTYPES_H HAVE_CHECK_CRC32 HAVE_CHECK_CRC64
    HAVE_CHECK_SHA256 HAVE_DECODERS HAVE_DECODER_LZMA1 HAVE_DECODER_LZMA2 HAVE_DECODER_DELTA
    HAVE_ENCODERS HAVE_ENCODER_LZMA1 HAVE_ENCODER_LZMA2 HAVE_ENCODER_DELTA HAVE_MF_HC3 HAVE_MF_HC4
    HAVE_MF_BT2 HAVE_MF_BT3 HAVE_MF_BT4 TUKLIB_SYMBOL_PREFIX=lzma_)
  set_source_files_properties(${lzma_encoders} PROPERTIES COMPILE_OPTIONS -O0)
  set(HMAP_LZMA_INCLUDE "${dir}/api")

  # LERC: one library, its encoder and decoder in the same files, whose
  # templates take most of the codecs' compiling: at -O1 in half the time of
  # -O3, and its decoder as fast here (a 4096x4096 float COG in 0.58 s under
  # Wine, against 0.66 s).
  file(GLOB lerc_sources "${HMAP_LERC_DIR}/src/LercLib/*.cpp" "${HMAP_LERC_DIR}/src/LercLib/Lerc1Decode/*.cpp")
  add_library(hmap_lerc STATIC ${lerc_sources})
  target_include_directories(hmap_lerc SYSTEM PUBLIC "${HMAP_LERC_DIR}/src/LercLib/include")
  target_compile_definitions(hmap_lerc PUBLIC LERC_STATIC)
  set_target_properties(hmap_lerc PROPERTIES CXX_STANDARD 17)
  target_compile_options(hmap_lerc PRIVATE -O1)
  set(HMAP_LERC_INCLUDE "${HMAP_LERC_DIR}/src/LercLib/include")

  foreach(library hmap_zstd hmap_lzma hmap_lerc)
    target_compile_options(${library} PRIVATE -w)
  endforeach()
  # Each library's sources (those at one level of optimising) compiled as
  # one file, as zstd's own single-file build does: each alone read the same
  # headers again (liblzma's files each name their own states alike, and
  # stay apart). About 7 s of the 40 the three took.
  set_target_properties(hmap_zstd hmap_lerc PROPERTIES UNITY_BUILD ON UNITY_BUILD_BATCH_SIZE 0)
  foreach(codec ZSTD LZMA LERC)
    string(TOLOWER ${codec} name)
    set(HMAP_${codec}_FILE "${CMAKE_STATIC_LIBRARY_PREFIX}hmap_${name}${CMAKE_STATIC_LIBRARY_SUFFIX}")
  endforeach()
  add_library(ZSTD::ZSTD ALIAS hmap_zstd)
  add_library(LibLZMA::LibLZMA ALIAS hmap_lzma)
  add_library(LERC::LERC ALIAS hmap_lerc)
endif()

# What libtiff's find modules would have found and checked: with these set
# they look no further, and libtiff links the targets above (the libraries'
# names below only fill its pkg-config file, which is not installed).
set(ZSTD_INCLUDE_DIR "${HMAP_ZSTD_INCLUDE}" CACHE PATH "" FORCE)
set(ZSTD_LIBRARY "${HMAP_ZSTD_FILE}" CACHE STRING "" FORCE)
set(ZSTD_HAVE_DECOMPRESS_STREAM TRUE CACHE BOOL "" FORCE)
set(LIBLZMA_INCLUDE_DIR "${HMAP_LZMA_INCLUDE}" CACHE PATH "" FORCE)
set(LIBLZMA_LIBRARY "${HMAP_LZMA_FILE}" CACHE STRING "" FORCE)
foreach(check LIBLZMA_HAS_AUTO_DECODER LIBLZMA_HAS_EASY_ENCODER LIBLZMA_HAS_LZMA_PRESET)
  set(${check} TRUE CACHE BOOL "" FORCE)
endforeach()
set(LERC_INCLUDE_DIR "${HMAP_LERC_INCLUDE}" CACHE PATH "" FORCE)
set(LERC_LIBRARY "${HMAP_LERC_FILE}" CACHE STRING "" FORCE)
foreach(codec zstd lzma lerc)
  set(${codec} ON CACHE BOOL "" FORCE)
endforeach()
