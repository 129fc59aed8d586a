# Classic SDL 1.2.15 for the Windows programs: built once from Debian's source package (which
# cmake/install-windows-deps.sh unpacks into build/windows-sdl-source) as a static library,
# then reused by every build of the windows preset.
include(ExternalProject)
set(QUILTCAM_SDL_SOURCE ${PROJECT_SOURCE_DIR}/build/windows-sdl-source CACHE PATH "Unpacked SDL 1.2.15 source")
if(NOT EXISTS ${QUILTCAM_SDL_SOURCE}/configure)
  message(FATAL_ERROR "No SDL source in ${QUILTCAM_SDL_SOURCE}: run cmake/install-windows-deps.sh first")
endif()
set(sdlPrefix ${PROJECT_SOURCE_DIR}/build/windows-sdl)
ExternalProject_Add(windows_sdl
  SOURCE_DIR ${QUILTCAM_SDL_SOURCE}
  BINARY_DIR ${PROJECT_SOURCE_DIR}/build/windows-sdl-build
  INSTALL_DIR ${sdlPrefix}
  CONFIGURE_COMMAND ${QUILTCAM_SDL_SOURCE}/configure --host=${QUILTCAM_MINGW_HOST} --prefix=<INSTALL_DIR>
                    --disable-shared --enable-static "CFLAGS=-O2 -msse2 -mfpmath=sse"
  BUILD_COMMAND make -j2
  INSTALL_COMMAND make install
  BUILD_BYPRODUCTS ${sdlPrefix}/lib/libSDL.a ${sdlPrefix}/lib/libSDLmain.a
  LOG_CONFIGURE ON LOG_BUILD ON LOG_INSTALL ON)
file(MAKE_DIRECTORY ${sdlPrefix}/include/SDL)

add_library(quiltcam_sdl INTERFACE)
add_dependencies(quiltcam_sdl windows_sdl)
target_include_directories(quiltcam_sdl INTERFACE ${sdlPrefix}/include/SDL)
# SDLmain is the entry shim, as on Windows itself: it calls main and sends standard output and
# error to files.
target_link_libraries(quiltcam_sdl INTERFACE mingw32 ${sdlPrefix}/lib/libSDLmain.a ${sdlPrefix}/lib/libSDL.a
                      user32 gdi32 winmm dxguid)
