# kelvo4_read_jpeg(TARGET): TARGET's picture reader reads JPEG through
# libjpeg-turbo's TurboJPEG API where the system has it (Debian's
# libturbojpeg0-dev); a build without it names JPEG pictures as unreadable.
function(kelvo4_read_jpeg target)
  find_path(TURBOJPEG_INCLUDE_DIR turbojpeg.h)
  find_library(TURBOJPEG_LIBRARY turbojpeg)
  if(TURBOJPEG_INCLUDE_DIR AND TURBOJPEG_LIBRARY)
    target_compile_definitions(${target} PRIVATE KELVO4_JPEG=1)
    target_include_directories(${target} PRIVATE ${TURBOJPEG_INCLUDE_DIR})
    target_link_libraries(${target} PRIVATE ${TURBOJPEG_LIBRARY})
  endif()
endfunction()
