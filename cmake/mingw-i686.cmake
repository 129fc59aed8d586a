# Cross-building the 32-bit Windows programs with Debian's MinGW-w64 (win32 threads).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(QUILTCAM_MINGW_HOST i686-w64-mingw32)
set(CMAKE_C_COMPILER ${QUILTCAM_MINGW_HOST}-gcc)
set(CMAKE_CXX_COMPILER ${QUILTCAM_MINGW_HOST}-g++)
set(CMAKE_RC_COMPILER ${QUILTCAM_MINGW_HOST}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${QUILTCAM_MINGW_HOST})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# SSE2 arithmetic, not the x87's 80-bit registers: the grid's and the renderer's float and
# double products must round exactly as they do everywhere else.
set(CMAKE_C_FLAGS_INIT "-msse2 -mfpmath=sse")
set(CMAKE_CXX_FLAGS_INIT "-msse2 -mfpmath=sse")
