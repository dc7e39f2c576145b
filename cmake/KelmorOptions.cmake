# Warnings and sanitizers, applied to every target of ours through one
# interface library.
add_library(kelmor_options INTERFACE)
target_compile_options(kelmor_options INTERFACE -Wall -Wextra -Wshadow -Wnon-virtual-dtor -Wpedantic)
if(KELMOR_WERROR)
  target_compile_options(kelmor_options INTERFACE -Werror)
endif()
if(KELMOR_SANITIZE)
  target_compile_options(kelmor_options INTERFACE -fsanitize=${KELMOR_SANITIZE} -fno-omit-frame-pointer
                                                  -fno-sanitize-recover=all)
  target_link_options(kelmor_options INTERFACE -fsanitize=${KELMOR_SANITIZE})
endif()
find_package(Threads REQUIRED)
target_link_libraries(kelmor_options INTERFACE Threads::Threads)
