# The Wyoming event reader and writer and the sentence cutter on their own:
# no libtorch, no tools, so the fuzz build (which has no tools) and the tests
# can compile them too.
if(NOT TARGET vclone_wyoming_core)
  find_package(nlohmann_json 3 REQUIRED)
  add_library(vclone_wyoming_core STATIC ${CMAKE_CURRENT_LIST_DIR}/event.cpp ${CMAKE_CURRENT_LIST_DIR}/sentences.cpp)
  # src/util/blank_text.h: a blank text is judged as the library judges it.
  target_include_directories(vclone_wyoming_core PUBLIC ${CMAKE_CURRENT_LIST_DIR}/.. PRIVATE ${PROJECT_SOURCE_DIR}/src)
  target_link_libraries(vclone_wyoming_core PUBLIC nlohmann_json::nlohmann_json PRIVATE PkgConfig::UTF8PROC)
  target_compile_options(vclone_wyoming_core PRIVATE ${VCLONE_WARNINGS})
endif()
