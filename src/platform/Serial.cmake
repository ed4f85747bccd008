# Included from platform/CMakeLists.txt: serial ports and their discovery.
target_sources(orbcore PRIVATE platform/Cp210xName.cpp)

if(WIN32)
    target_sources(orbcore PRIVATE
        platform/win32/Cp210xDriver.cpp
        platform/win32/PortEnumeration.cpp
        platform/win32/SerialPort.cpp
    )
    # SetupDi*: the present ports and their friendly names.
    target_link_libraries(orbcore PUBLIC setupapi)
else()
    target_sources(orbcore PRIVATE
        platform/posix/Cp210xDriver.cpp
        platform/posix/PortEnumeration.cpp
        platform/posix/PortHolder.cpp
        platform/posix/SerialPort.cpp
    )
endif()
