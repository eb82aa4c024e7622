# TOVAMIX_SANITIZE builds every target (libraries, programs, tests, the test GStreamer plugin)
# with a sanitizer:
#   address  AddressSanitizer (with leak detection) and UndefinedBehaviorSanitizer; any
#            undefined behaviour ends the program, so a test cannot pass over it
#   thread   ThreadSanitizer
# Empty (the default) builds without. scripts/test --sanitize / --tsan set it and the
# run-time options and suppressions (tests/sanitizers.supp).
set(TOVAMIX_SANITIZE "" CACHE STRING "Sanitizer build: empty, address (ASan+UBSan) or thread (TSan)")
set_property(CACHE TOVAMIX_SANITIZE PROPERTY STRINGS "" address thread)

if(TOVAMIX_SANITIZE STREQUAL "address")
    set(_tovamix_sanitize_flags -fsanitize=address,undefined -fno-sanitize-recover=all)
elseif(TOVAMIX_SANITIZE STREQUAL "thread")
    set(_tovamix_sanitize_flags -fsanitize=thread)
elseif(NOT TOVAMIX_SANITIZE STREQUAL "")
    message(FATAL_ERROR "TOVAMIX_SANITIZE must be empty, address or thread, not '${TOVAMIX_SANITIZE}'")
endif()

if(_tovamix_sanitize_flags)
    # Frame pointers give the sanitizers' reports whole stacks at little cost.
    add_compile_options(${_tovamix_sanitize_flags} -fno-omit-frame-pointer)
    add_link_options(${_tovamix_sanitize_flags})
endif()

if(TOVAMIX_SANITIZE STREQUAL "thread")
    # GLib's mutexes and conditions and GStreamer's reference counts made visible to
    # ThreadSanitizer (see the file); linked into every program and library defined after this.
    add_library(tovamix_tsan_glib_sync OBJECT
                ${CMAKE_CURRENT_LIST_DIR}/../src/platform/tsan/GlibSync.cpp)
    link_libraries(tovamix_tsan_glib_sync ${CMAKE_DL_LIBS})
endif()
