# Warnings are errors on both toolchains: the code keeps zero warnings.
add_compile_options(-Wall -Wextra -Werror)

if(MORVEX_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=address,undefined)
endif()

if(WIN32)
  # Static runtime so the install directory needs no runtime DLLs; Unicode APIs.
  add_compile_definitions(UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0A00)
  add_link_options(-static -static-libgcc -static-libstdc++)
  # Every program and test lands in one folder, so tests find the programs
  # they start beside themselves.
  set(CMAKE_RUNTIME_OUTPUT_DIRECTORY "${CMAKE_BINARY_DIR}/bin")
endif()

if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  # clang 19 flags the C++23 deprecation of get_temporary_buffer inside
  # libstdc++ 12's own algorithms (std::stable_sort), which user code cannot
  # avoid.
  add_compile_options(-Wno-deprecated-declarations)
endif()
