# The parsers of what a client sends `vclone serve` (a speech request's JSON,
# a multipart upload) on their own: no libtorch, no httplib, no library
# calls (src/util/blank_text.h is header-only), so the fuzz build and the fuzz replay test compile them without the
# server or the tools.
if(NOT TARGET vclone_serve_parsers)
  find_package(nlohmann_json 3 REQUIRED)
  add_library(vclone_serve_parsers STATIC
    ${PROJECT_SOURCE_DIR}/tools/serve/speech_request.cpp
    ${PROJECT_SOURCE_DIR}/tools/serve/api_error.cpp
    ${PROJECT_SOURCE_DIR}/tools/serve/upload_form.cpp
    ${PROJECT_SOURCE_DIR}/tools/common/audio_format.cpp)
  target_include_directories(vclone_serve_parsers PUBLIC ${PROJECT_SOURCE_DIR}/tools ${PROJECT_SOURCE_DIR}/include
    ${PROJECT_SOURCE_DIR}/src)
  target_link_libraries(vclone_serve_parsers PUBLIC nlohmann_json::nlohmann_json PkgConfig::UTF8PROC)
  target_compile_options(vclone_serve_parsers PRIVATE ${VCLONE_WARNINGS})
endif()
