# Included before the native parts when ZIBREL_BUILD_FUZZ is on: everything is
# compiled with coverage for libFuzzer and with AddressSanitizer and
# UndefinedBehaviorSanitizer, unoptimised enough and with symbols so that a
# report names functions and lines.
if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  message(FATAL_ERROR "ZIBREL_BUILD_FUZZ needs clang (libFuzzer): configure with -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang")
endif()
set(ZIBREL_SANITIZERS "address,undefined")
add_compile_options(-g -O1 -fno-omit-frame-pointer
  -fsanitize=fuzzer-no-link,${ZIBREL_SANITIZERS} -fno-sanitize-recover=all)
add_link_options(-fsanitize=${ZIBREL_SANITIZERS})
