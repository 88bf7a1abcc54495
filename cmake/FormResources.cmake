# The options dialog's resources, built from readable sources in resources/ by dfm2bin
# (tools/dfm2bin):
#   TAPLUGIN    the plug-in object's component stream (aPlugin.dfm; its "Properties" holder gets
#               the lines of PropertyMap.txt)
#   TFRMOPTION  the options form's component stream (frmOption.dfm)
#   FORM_NAME   the text TFRMOPTION
#   FORM_DATA   gzip of the form script (frmOption.xml), the form name and PropertyMap.txt
# dfm2bin runs on the build machine. The native flavors build it with the project (their
# programs run here); the win32 cross build builds tools/dfm2bin once more as a project of its
# own with the build machine's compiler (ExternalProject), so no converter runs under Wine.
# win32 programs carry the resources through a generated resource script; POSIX builds compile
# the same bytes into kelda_core as arrays (platform::ModuleResource reads either).

set(KELDA_FORMS_DIR ${CMAKE_BINARY_DIR}/forms)
set(KELDA_FORMS_SOURCE ${CMAKE_SOURCE_DIR}/resources)
set(KELDA_FORM_NAME TFRMOPTION)
file(MAKE_DIRECTORY ${KELDA_FORMS_DIR})

# The converter's code in this flavor, for the tests that check its output.
add_subdirectory(${CMAKE_SOURCE_DIR}/tools/dfm2bin ${CMAKE_BINARY_DIR}/tools/dfm2bin)

if(CMAKE_CROSSCOMPILING)
  set_target_properties(dfm2bin PROPERTIES EXCLUDE_FROM_ALL ON)
  include(ExternalProject)
  set(KELDA_DFM2BIN ${CMAKE_BINARY_DIR}/dfm2bin-host/dfm2bin)
  ExternalProject_Add(dfm2bin_host
    SOURCE_DIR ${CMAKE_SOURCE_DIR}/tools/dfm2bin
    BINARY_DIR ${CMAKE_BINARY_DIR}/dfm2bin-host
    CMAKE_ARGS -DCMAKE_BUILD_TYPE=Release
    BUILD_COMMAND ${CMAKE_COMMAND} --build . --target dfm2bin
    INSTALL_COMMAND ""
    BUILD_ALWAYS ON
    BUILD_BYPRODUCTS ${KELDA_DFM2BIN})
  set(KELDA_DFM2BIN_DEPENDS dfm2bin_host ${KELDA_DFM2BIN})
else()
  set(KELDA_DFM2BIN $<TARGET_FILE:dfm2bin>)
  set(KELDA_DFM2BIN_DEPENDS dfm2bin)
endif()

add_custom_command(OUTPUT ${KELDA_FORMS_DIR}/taplugin.bin
  COMMAND ${KELDA_DFM2BIN} form ${KELDA_FORMS_SOURCE}/aPlugin.dfm ${KELDA_FORMS_DIR}/taplugin.bin
          Properties=${KELDA_FORMS_SOURCE}/PropertyMap.txt
  DEPENDS ${KELDA_DFM2BIN_DEPENDS} ${KELDA_FORMS_SOURCE}/aPlugin.dfm ${KELDA_FORMS_SOURCE}/PropertyMap.txt
  COMMENT "Form resource TAPLUGIN" VERBATIM)
add_custom_command(OUTPUT ${KELDA_FORMS_DIR}/tfrmoption.bin
  COMMAND ${KELDA_DFM2BIN} form ${KELDA_FORMS_SOURCE}/frmOption.dfm ${KELDA_FORMS_DIR}/tfrmoption.bin
  DEPENDS ${KELDA_DFM2BIN_DEPENDS} ${KELDA_FORMS_SOURCE}/frmOption.dfm
  COMMENT "Form resource TFRMOPTION" VERBATIM)
add_custom_command(OUTPUT ${KELDA_FORMS_DIR}/form_data.gz
  COMMAND ${KELDA_DFM2BIN} formdata ${KELDA_FORMS_DIR}/form_data.gz ${KELDA_FORMS_SOURCE}/frmOption.xml
          ${KELDA_FORM_NAME} ${KELDA_FORMS_SOURCE}/PropertyMap.txt
  DEPENDS ${KELDA_DFM2BIN_DEPENDS} ${KELDA_FORMS_SOURCE}/frmOption.xml ${KELDA_FORMS_SOURCE}/PropertyMap.txt
  COMMENT "Form resource FORM_DATA" VERBATIM)
file(WRITE ${KELDA_FORMS_DIR}/form_name.bin.new "${KELDA_FORM_NAME}")
file(COPY_FILE ${KELDA_FORMS_DIR}/form_name.bin.new ${KELDA_FORMS_DIR}/form_name.bin ONLY_IF_DIFFERENT)

set(KELDA_FORM_RESOURCES
  TAPLUGIN=${KELDA_FORMS_DIR}/taplugin.bin
  TFRMOPTION=${KELDA_FORMS_DIR}/tfrmoption.bin
  FORM_NAME=${KELDA_FORMS_DIR}/form_name.bin
  FORM_DATA=${KELDA_FORMS_DIR}/form_data.gz)
set(KELDA_FORM_FILES ${KELDA_FORMS_DIR}/taplugin.bin ${KELDA_FORMS_DIR}/tfrmoption.bin
    ${KELDA_FORMS_DIR}/form_name.bin ${KELDA_FORMS_DIR}/form_data.gz)
add_custom_target(kelda_form_resources DEPENDS ${KELDA_FORM_FILES})

if(WIN32)
  set(script "// Generated: the options dialog's resources.\n")
  foreach(entry ${KELDA_FORM_RESOURCES})
    string(REPLACE "=" ";" pair ${entry})
    list(GET pair 0 name)
    list(GET pair 1 file)
    string(APPEND script "${name} RCDATA \"${file}\"\n")
  endforeach()
  file(WRITE ${KELDA_FORMS_DIR}/kelda_forms.rc.new "${script}")
  file(COPY_FILE ${KELDA_FORMS_DIR}/kelda_forms.rc.new ${KELDA_FORMS_DIR}/kelda_forms.rc ONLY_IF_DIFFERENT)
else()
  add_custom_command(OUTPUT ${KELDA_FORMS_DIR}/EmbeddedResources.cpp
    COMMAND ${KELDA_DFM2BIN} embed ${KELDA_FORMS_DIR}/EmbeddedResources.cpp ${KELDA_FORM_RESOURCES}
    DEPENDS ${KELDA_DFM2BIN_DEPENDS} ${KELDA_FORM_FILES}
    COMMENT "Embedding the form resources" VERBATIM)
  target_sources(kelda_core PRIVATE ${KELDA_FORMS_DIR}/EmbeddedResources.cpp)
endif()

# Gives a program (or the library) the form resources: on win32 the generated resource script,
# on POSIX nothing more than kelda_core already holds.
function(kelda_use_form_resources target)
  add_dependencies(${target} kelda_form_resources)
  if(WIN32)
    target_sources(${target} PRIVATE ${KELDA_FORMS_DIR}/kelda_forms.rc)
    set_source_files_properties(${KELDA_FORMS_DIR}/kelda_forms.rc TARGET_DIRECTORY ${target}
                                PROPERTIES OBJECT_DEPENDS "${KELDA_FORM_FILES}")
  endif()
endfunction()
