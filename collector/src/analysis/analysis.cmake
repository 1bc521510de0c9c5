# Traffic analysis for the collector: redaction, sensitive-data detectors,
# path templates, the endpoint inventory, JSON Schema inference, OpenAPI,
# drift and HAR.  A static library with no dependency on the collector's
# other sources; include() it from the collector's CMakeLists.txt.
#
#   kv_analysis            the library
#   kv_analysis_tests      its unit tests (GoogleTest), registered with ctest
#   kv_analysis_bench      timed loops: redaction, inventory, memory
#   kv_analysis_samples    writes sample OpenAPI and HAR documents, which
#                          the analysis_validators test checks with npm's
#                          validators

set(KV_ANALYSIS_DIR ${CMAKE_CURRENT_LIST_DIR})
set(KV_ANALYSIS_TEST_DIR ${KV_ANALYSIS_DIR}/../../tests/analysis)

find_package(Boost 1.81 EXACT REQUIRED COMPONENTS json)
find_package(OpenSSL REQUIRED)
find_package(yaml-cpp REQUIRED)
find_package(GTest)

add_library(kv_analysis STATIC
    ${KV_ANALYSIS_DIR}/text.cpp
    ${KV_ANALYSIS_DIR}/detectors.cpp
    ${KV_ANALYSIS_DIR}/redaction.cpp
    ${KV_ANALYSIS_DIR}/path_templates.cpp
    ${KV_ANALYSIS_DIR}/latency_sketch.cpp
    ${KV_ANALYSIS_DIR}/schema.cpp
    ${KV_ANALYSIS_DIR}/inventory.cpp
    ${KV_ANALYSIS_DIR}/inventory_json.cpp
    ${KV_ANALYSIS_DIR}/openapi.cpp
    ${KV_ANALYSIS_DIR}/declared_api.cpp
    ${KV_ANALYSIS_DIR}/drift.cpp
    ${KV_ANALYSIS_DIR}/har.cpp)
target_include_directories(kv_analysis PUBLIC ${KV_ANALYSIS_DIR}/..)
target_compile_features(kv_analysis PUBLIC cxx_std_17)
target_compile_options(kv_analysis PRIVATE -Wall -Wextra -Werror)
target_link_libraries(kv_analysis PUBLIC Boost::json OpenSSL::Crypto
    yaml-cpp)

add_executable(kv_analysis_bench ${KV_ANALYSIS_TEST_DIR}/bench_analysis.cpp)
target_compile_options(kv_analysis_bench PRIVATE -Wall -Wextra -Werror)
target_link_libraries(kv_analysis_bench PRIVATE kv_analysis)

add_executable(kv_analysis_samples
    ${KV_ANALYSIS_TEST_DIR}/write_samples.cpp)
target_compile_options(kv_analysis_samples PRIVATE -Wall -Wextra -Werror)
target_link_libraries(kv_analysis_samples PRIVATE kv_analysis)

if(GTest_FOUND)
    enable_testing()
    file(GLOB KV_ANALYSIS_TESTS ${KV_ANALYSIS_TEST_DIR}/test_*.cpp)
    add_executable(kv_analysis_tests ${KV_ANALYSIS_TESTS})
    target_compile_options(kv_analysis_tests PRIVATE -Wall -Wextra -Werror)
    target_link_libraries(kv_analysis_tests PRIVATE kv_analysis
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
