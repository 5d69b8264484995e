# libZQExcel.so: the class ZQExcel over the workbook records and the compound document. Only
# ZQExcel's own symbols are exported (hidden visibility, static parts' symbols excluded, and a
# version script); installed with its header, a CMake package and a pkg-config file.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

add_library(ZQExcel SHARED ZQExcel.cpp)
zq_warnings(ZQExcel)
target_include_directories(ZQExcel PRIVATE ${CMAKE_SOURCE_DIR}/src
                           INTERFACE $<BUILD_INTERFACE:${CMAKE_SOURCE_DIR}/src>
                                     $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
target_link_libraries(ZQExcel PRIVATE zqbiff zqcfb)
set_target_properties(ZQExcel PROPERTIES CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON
                      VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR}
                      PUBLIC_HEADER ZQExcel.h
                      LINK_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/ZQExcel.map)
target_link_options(ZQExcel PRIVATE -Wl,--exclude-libs,ALL
                    -Wl,--version-script=${CMAKE_CURRENT_SOURCE_DIR}/ZQExcel.map)
set_target_properties(zqcfb PROPERTIES CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)

install(TARGETS ZQExcel EXPORT ZQExcelTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT ZQExcel
        PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT ZQExcel)
install(EXPORT ZQExcelTargets NAMESPACE ZQExcel:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/ZQExcel
        COMPONENT ZQExcel)
configure_package_config_file(ZQExcelConfig.cmake.in ${CMAKE_CURRENT_BINARY_DIR}/ZQExcelConfig.cmake
                              INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/ZQExcel)
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/ZQExcelConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/ZQExcelConfig.cmake ${CMAKE_CURRENT_BINARY_DIR}/ZQExcelConfigVersion.cmake
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/ZQExcel COMPONENT ZQExcel)
# The pkg-config file finds the prefix from its own place, so that --prefix at install time holds.
file(RELATIVE_PATH ZQ_PC_TO_PREFIX /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
configure_file(ZQExcel.pc.in ${CMAKE_CURRENT_BINARY_DIR}/ZQExcel.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/ZQExcel.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
        COMPONENT ZQExcel)

add_subdirectory(zqxls)

zq_test(zqexcel_test SOURCES ZQExcel_test.cpp LIBS ZQExcel zqcfb)
zq_test(zqexcel_package_test SOURCES package/package_test.cpp LABEL integration)
if(TARGET zqexcel_package_test)
  add_dependencies(zqexcel_package_test ZQExcel zqxls)
  # The consumer is built with this build's compiler and sanitizers, as the library was.
  set(zq_consumer_flags "")
  if(ZQ_SANITIZE_FLAGS)
    set(zq_consumer_flags "${ZQ_SANITIZE_FLAGS}")
  endif()
  target_compile_definitions(zqexcel_package_test PRIVATE ZQ_CXX="${CMAKE_CXX_COMPILER}"
                             ZQ_CXX_FLAGS="${zq_consumer_flags}")
endif()
