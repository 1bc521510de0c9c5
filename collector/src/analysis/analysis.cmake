# Traffic analysis for the collector: redaction, sensitive-data detectors,
# path templates, the endpoint inventory, JSON Schema inference, OpenAPI,
# drift and HAR.  A static library with no dependency on the collector's
# other sources; include() it from the collector's CMakeLists.txt.
#
#   kv_analysis            the library
#   kv_analysis_tests      its unit tests (GoogleTest), registered with ctest,
#                          against the library built with ASan and UBSan
#   kv_analysis_bench      timed loops: redaction, inventory, memory
#   kv_analysis_samples    writes sample OpenAPI and HAR documents, which
#                          the analysis_validators test checks with npm's
#                          validators

set(KV_ANALYSIS_DIR ${CMAKE_CURRENT_LIST_DIR})
set(KV_ANALYSIS_TEST_DIR ${KV_ANALYSIS_DIR}/../../tests/analysis)

find_package(Boost 1.81 REQUIRED COMPONENTS json CONFIG)
find_package(OpenSSL REQUIRED)
find_package(yaml-cpp REQUIRED)
find_package(GTest)

set(KV_ANALYSIS_SOURCES
    ${KV_ANALYSIS_DIR}/text.cpp
    ${KV_ANALYSIS_DIR}/detectors.cpp
    ${KV_ANALYSIS_DIR}/redaction.cpp
    ${KV_ANALYSIS_DIR}/path_templates.cpp
    ${KV_ANALYSIS_DIR}/latency_sketch.cpp
    ${KV_ANALYSIS_DIR}/minute_series.cpp
    ${KV_ANALYSIS_DIR}/schema.cpp
    ${KV_ANALYSIS_DIR}/inventory.cpp
    ${KV_ANALYSIS_DIR}/inventory_json.cpp
    ${KV_ANALYSIS_DIR}/openapi.cpp
    ${KV_ANALYSIS_DIR}/declared_api.cpp
    ${KV_ANALYSIS_DIR}/drift.cpp
    ${KV_ANALYSIS_DIR}/har.cpp)

# extra arguments: compile and link options (the tests' sanitizers)
function(kv_analysis_library name)
    add_library(${name} STATIC ${KV_ANALYSIS_SOURCES})
    target_include_directories(${name} PUBLIC ${KV_ANALYSIS_DIR}/..)
    target_compile_features(${name} PUBLIC cxx_std_17)
    target_compile_options(${name} PRIVATE -Wall -Wextra -Werror)
    target_compile_options(${name} PUBLIC ${ARGN})
    target_link_options(${name} PUBLIC ${ARGN})
    target_link_libraries(${name} PUBLIC Boost::json OpenSSL::Crypto
        yaml-cpp)
endfunction()

kv_analysis_library(kv_analysis)

add_executable(kv_analysis_bench ${KV_ANALYSIS_TEST_DIR}/bench_analysis.cpp)
target_compile_options(kv_analysis_bench PRIVATE -Wall -Wextra -Werror)
target_link_libraries(kv_analysis_bench PRIVATE kv_analysis)

add_executable(kv_analysis_samples
    ${KV_ANALYSIS_TEST_DIR}/write_samples.cpp)
target_compile_options(kv_analysis_samples PRIVATE -Wall -Wextra -Werror)
target_link_libraries(kv_analysis_samples PRIVATE kv_analysis)

if(GTest_FOUND)
    enable_testing()
    # the units run against the library built again with sanitizers:
    # it reads untrusted bytes
    kv_analysis_library(kv_analysis_checked
        -fsanitize=address,undefined -fno-omit-frame-pointer)
    file(GLOB KV_ANALYSIS_TESTS ${KV_ANALYSIS_TEST_DIR}/test_*.cpp)
    add_executable(kv_analysis_tests ${KV_ANALYSIS_TESTS})
    target_compile_options(kv_analysis_tests PRIVATE -Wall -Wextra -Werror)
    target_link_libraries(kv_analysis_tests PRIVATE kv_analysis_checked
        GTest::gtest_main)
    include(GoogleTest)
    gtest_discover_tests(kv_analysis_tests DISCOVERY_TIMEOUT 60)

    # npm's OpenAPI and HAR validators on generated documents; skipped
    # (exit 77) when npm cannot install them.
    add_test(NAME analysis_validators
        COMMAND ${KV_ANALYSIS_TEST_DIR}/validate_exports.sh
            $<TARGET_FILE:kv_analysis_samples> ${CMAKE_BINARY_DIR})
    set_tests_properties(analysis_validators PROPERTIES
        SKIP_RETURN_CODE 77 TIMEOUT 300)

    # `make collector-unit` builds collector_tests and then runs every
    # ctest test: build what these tests need along with it.
    if(TARGET collector_tests)
        add_dependencies(collector_tests kv_analysis_tests
            kv_analysis_samples)
    endif()
endif()
