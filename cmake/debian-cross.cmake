# What the cross toolchain files share: Debian's cross compilers for
# CASTLES_CROSS_TRIPLE, the target's libraries under /usr/<triple>, and the
# qemu-user emulator CASTLES_CROSS_QEMU, through which CTest runs the tests
# and the end-to-end tests run the program. No binfmt_misc registration is
# needed: the emulator is named wherever a target binary is started.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${CASTLES_CROSS_TRIPLE}-gcc)  # GoogleTest's build enables C
set(CMAKE_CXX_COMPILER ${CASTLES_CROSS_TRIPLE}-g++)

# Libraries, headers and packages come from the target's tree only, so that
# nothing built for the build machine (such as its GoogleTest) is picked up;
# programs run on the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${CASTLES_CROSS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

find_program(CASTLES_QEMU_${CMAKE_SYSTEM_PROCESSOR} ${CASTLES_CROSS_QEMU})
if(NOT CASTLES_QEMU_${CMAKE_SYSTEM_PROCESSOR})
  message(FATAL_ERROR "${CASTLES_CROSS_QEMU} not found: install Debian's qemu-user package")
endif()
# -L: where the emulator finds the target's dynamic loader and shared libraries.
set(CMAKE_CROSSCOMPILING_EMULATOR
    ${CASTLES_QEMU_${CMAKE_SYSTEM_PROCESSOR}} -L /usr/${CASTLES_CROSS_TRIPLE})
