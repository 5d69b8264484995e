# Checks which way the includes point (run by CTest as layering_test):
#   app -> tabs, camera -> ui -> core (platform, xml, config, i18n, records, identity, params,
#   device); camera may stand on tabs; maker/ sees only src/device and src/platform;
#   src/spreadsheet includes nothing else of the project.
# A file that includes a folder above its own (or beside it, where the arrows say no) fails it.
set(core platform xml config i18n records identity params device)
set(above "ui tabs camera app skin")
set(rules "src/ui:tabs camera app" "src/tabs:camera app" "src/camera:app"
          "src/skin:ui tabs camera app"
          "maker:${above} xml config i18n records identity params spreadsheet"
          "src/spreadsheet:${above} platform xml config i18n records identity params device")
foreach(folder IN LISTS core)
  list(APPEND rules "src/${folder}:${above}")
endforeach()

set(failures "")
foreach(rule IN LISTS rules)
  string(REPLACE ":" ";" parts "${rule}")
  list(GET parts 0 folder)
  list(SUBLIST parts 1 -1 forbidden)
  string(REPLACE " " ";" forbidden "${forbidden}")
  string(REPLACE ";" "|" alternatives "${forbidden}")
  file(GLOB_RECURSE sources "${SOURCE_DIR}/${folder}/*.h" "${SOURCE_DIR}/${folder}/*.cpp")
  foreach(source IN LISTS sources)
    file(STRINGS "${source}" lines REGEX "^[ \t]*#[ \t]*include[ \t]*\"(${alternatives})/")
    foreach(line IN LISTS lines)
      file(RELATIVE_PATH name "${SOURCE_DIR}" "${source}")
      string(APPEND failures "  ${name}: ${line}\n")
    endforeach()
  endforeach()
endforeach()
if(failures)
  message(FATAL_ERROR "Includes that point upwards:\n${failures}")
endif()
message(STATUS "Includes point one way")
