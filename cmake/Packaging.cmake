# Installation and packages. `cmake --install` puts the programs in place; `cpack -G DEB` in the
# build folder makes qor_<version>_<arch>.deb from what the build made, with man pages, bash
# completion, a desktop entry, icons, AppStream metainfo, the examples and an empty
# /etc/qor/trusted-keys, and python3-qor_<version>_<arch>.deb, the Python package (the install
# component "python"). In the Windows build, `cpack -G ZIP` makes QOR-<version>-win64.zip: the
# three programs in one folder, the examples beside qor.exe (its catalogue) and a text on how to
# start.
if(WIN32)
  set(CMAKE_INSTALL_BINDIR .)
endif()
include(GNUInstallDirs)

set(QOR_MAINTAINER "The QOR developers <qor@example.org>")
set(QOR_COPYRIGHT "2026 The QOR developers")
set(QOR_RELEASE_DATE "2026-12-08")
set(QOR_RELEASE_DATE_RFC2822 "Tue, 08 Dec 2026 00:00:00 +0000")
# The desktop entry's, icon's and metainfo's name.
set(QOR_APP_ID "org.example.qor")

set(qor_programs)
if(QOR_BUILD_TOOLS)
  list(APPEND qor_programs qorctl qor-sim)
endif()
if(QOR_BUILD_UI AND (QOR_BUILD_QT OR QOR_BUILD_WIN32))
  list(APPEND qor_programs qor)
endif()
if(qor_programs)
  install(TARGETS ${qor_programs} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

set(CPACK_PACKAGE_NAME qor)
set(CPACK_PACKAGE_VENDOR "The QOR developers")
set(CPACK_PACKAGE_CONTACT "${QOR_MAINTAINER}")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(qor_summary "find, re-address and script networked devices on the LAN")
# One string: set() with several would make a list, whose separators are semicolons too.
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "QOR finds the devices of a family of networked products on the local network\n"
    "by UDP broadcast, on every network adapter, lists them with product name, MAC\n"
    "and IP address, gives a device a new IP address and runs firmware scripts\n"
    "against it: download an image through its staging buffer, read, edit and\n"
    "write its CRC-checked environment block, restart it.\n"
    "\n"
    "qor is the desktop program; qorctl does the same from a terminal, on one\n"
    "device or many at once; qor-sim simulates any number of devices to develop\n"
    "and test against.")
if(WIN32)
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${qor_summary}")
endif()
set(CPACK_RESOURCE_FILE_LICENSE "${PROJECT_SOURCE_DIR}/LICENSE")
set(CPACK_STRIP_FILES ON)

if(NOT WIN32 AND NOT CMAKE_CROSSCOMPILING)
  find_package(Python3 REQUIRED COMPONENTS Interpreter)
  find_program(QOR_GZIP gzip REQUIRED)
  set(packaging ${PROJECT_SOURCE_DIR}/packaging)
  set(staged ${PROJECT_BINARY_DIR}/packaging)

  # The copyright file comes from LICENSE, which must stay the Apache License 2.0 it names.
  file(STRINGS ${PROJECT_SOURCE_DIR}/LICENSE license_head LIMIT_COUNT 3)
  if(NOT license_head MATCHES "Apache License;.*Version 2\\.0")
    message(FATAL_ERROR "LICENSE is not the Apache License 2.0 that packaging/copyright.in names")
  endif()
  configure_file(${packaging}/copyright.in ${staged}/copyright @ONLY)
  configure_file(${packaging}/changelog.in ${staged}/changelog @ONLY)
  configure_file(${packaging}/${QOR_APP_ID}.metainfo.xml.in ${staged}/${QOR_APP_ID}.metainfo.xml
                 @ONLY)

  # Man pages from their sources and the programs' own --help; gzip -n leaves no timestamp in.
  set(qor_compressed ${staged}/changelog.gz)
  add_custom_command(OUTPUT ${staged}/changelog.gz
    COMMAND ${QOR_GZIP} -9nc ${staged}/changelog > ${staged}/changelog.gz
    DEPENDS ${staged}/changelog ${packaging}/changelog.in VERBATIM)
  set(qor_man_pages)
  foreach(program IN LISTS qor_programs)
    set(page ${staged}/man/${program}.1)
    add_custom_command(OUTPUT ${page}.gz
      COMMAND ${CMAKE_COMMAND} -E make_directory ${staged}/man
      COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/scripts/make-man
              ${packaging}/man/${program}.1.in $<TARGET_FILE:${program}> ${page}
      COMMAND ${QOR_GZIP} -9nf ${page}
      DEPENDS ${program} ${packaging}/man/${program}.1.in ${PROJECT_SOURCE_DIR}/scripts/make-man
      VERBATIM)
    list(APPEND qor_man_pages ${page}.gz)
  endforeach()
  install(FILES ${qor_man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  if(QOR_BUILD_TOOLS)
    # The script language's page, from its Markdown reference; qorctl gives the version.
    set(page ${staged}/man/qor-script.5)
    add_custom_command(OUTPUT ${page}.gz
      COMMAND ${CMAKE_COMMAND} -E make_directory ${staged}/man
      COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/scripts/make-man
              ${packaging}/man/qor-script.5.in $<TARGET_FILE:qorctl> ${page}
      COMMAND ${QOR_GZIP} -9nf ${page}
      DEPENDS qorctl ${packaging}/man/qor-script.5.in ${PROJECT_SOURCE_DIR}/docs/script-language.md
              ${PROJECT_SOURCE_DIR}/scripts/make-man
      VERBATIM)
    install(FILES ${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man5)
    list(APPEND qor_man_pages ${page}.gz)
  endif()
  add_custom_target(qor_packaging_files ALL DEPENDS ${qor_man_pages} ${qor_compressed})
  install(FILES ${staged}/copyright ${staged}/changelog.gz DESTINATION share/doc/qor)
  if(QOR_BUILD_PYTHON)
    install(FILES ${staged}/copyright ${staged}/changelog.gz DESTINATION share/doc/python3-qor
            COMPONENT python)
  endif()
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/ DESTINATION share/qor/examples)
  # The folder of the keys the administrator trusts to sign scripts for everybody, empty until
  # one is put there (lintian accepts an empty folder in /etc). It is where the programs look,
  # whatever the prefix.
  install(DIRECTORY DESTINATION /etc/qor/trusted-keys)
  if(QOR_BUILD_TOOLS)
    install(FILES ${packaging}/qorctl.bash DESTINATION share/bash-completion/completions
            RENAME qorctl)
  endif()

  # The Ansible collection qor.lan, built as Galaxy builds it (qor-lan-VERSION.tar.gz, for
  # control hosts without the package) and installed unpacked where ansible-core looks by
  # default. The collection has a version of its own (the interface of its modules), which
  # Galaxy wants 1.0.0 or later.
  file(STRINGS ${PROJECT_SOURCE_DIR}/ansible/qor/lan/galaxy.yml collection_version
       REGEX "^version: ")
  string(REGEX REPLACE "^version: *" "" collection_version "${collection_version}")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
               ${PROJECT_SOURCE_DIR}/ansible/qor/lan/galaxy.yml)
  find_program(QOR_ANSIBLE_GALAXY ansible-galaxy)
  if(QOR_ANSIBLE_GALAXY)
    set(collection_src ${PROJECT_SOURCE_DIR}/ansible/qor/lan)
    set(collection_tar ${PROJECT_BINARY_DIR}/ansible/qor-lan-${collection_version}.tar.gz)
    set(collection_dir ${staged}/ansible_collections/qor/lan)
    file(GLOB_RECURSE collection_files CONFIGURE_DEPENDS ${collection_src}/*)
    list(FILTER collection_files EXCLUDE REGEX "/__pycache__/|\\.pyc$")
    add_custom_command(OUTPUT ${collection_tar}
      COMMAND ${CMAKE_COMMAND} -E env HOME=${PROJECT_BINARY_DIR}/ansible/home
              ANSIBLE_HOME=${PROJECT_BINARY_DIR}/ansible/home
              ${QOR_ANSIBLE_GALAXY} collection build ${collection_src}
              --output-path ${PROJECT_BINARY_DIR}/ansible --force
      COMMAND ${CMAKE_COMMAND} -E rm -rf ${collection_dir}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${collection_dir}
      COMMAND ${CMAKE_COMMAND} -E chdir ${collection_dir} ${CMAKE_COMMAND} -E tar xzf
              ${collection_tar}
      DEPENDS ${collection_files}
      COMMENT "Building the Ansible collection qor.lan"
      VERBATIM)
    add_custom_target(qor_ansible_collection ALL DEPENDS ${collection_tar})
    install(DIRECTORY ${collection_dir}/
            DESTINATION share/ansible/collections/ansible_collections/qor/lan)
    install(FILES ${packaging}/lintian-overrides DESTINATION share/lintian/overrides RENAME qor)
  else()
    message(STATUS "ansible-galaxy not found: the package will not carry the qor.lan collection")
  endif()

  if(QOR_BUILD_UI AND QOR_BUILD_QT)
    # The icon theme's pictures, drawn from the one icon the windows show.
    find_package(Qt6 REQUIRED COMPONENTS Gui)
    add_executable(qor-make-icons ${packaging}/icons/MakeIcons.cpp)
    target_link_libraries(qor-make-icons PRIVATE qorres Qt6::Gui)
    set(qor_icons)
    foreach(size 32x32 48x48 64x64 128x128 256x256)
      list(APPEND qor_icons ${staged}/icons/hicolor/${size}/apps/${QOR_APP_ID}.png)
    endforeach()
    list(APPEND qor_icons ${staged}/icons/hicolor/scalable/apps/${QOR_APP_ID}.svg)
    add_custom_command(OUTPUT ${qor_icons}
      COMMAND qor-make-icons ${staged}/icons ${QOR_APP_ID}
      DEPENDS qor-make-icons VERBATIM)
    add_custom_target(qor_icons ALL DEPENDS ${qor_icons})
    install(DIRECTORY ${staged}/icons/hicolor DESTINATION share/icons)
    install(FILES ${packaging}/${QOR_APP_ID}.desktop DESTINATION share/applications)
    install(FILES ${staged}/${QOR_APP_ID}.metainfo.xml DESTINATION share/metainfo)
  endif()

  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  # One package per install component: qor (everything not put in another) and python3-qor.
  set(CPACK_DEB_COMPONENT_INSTALL ON)
  set(CPACK_COMPONENTS_ALL qor)
  set(CPACK_DEBIAN_QOR_PACKAGE_NAME qor)
  set(CPACK_DEBIAN_QOR_FILE_NAME DEB-DEFAULT)
  # The summary is each description's first line (no CPACK_PACKAGE_DESCRIPTION_SUMMARY, which
  # CPack would put above every component's).
  set(CPACK_DEBIAN_QOR_DESCRIPTION "${qor_summary}\n${CPACK_PACKAGE_DESCRIPTION}")
  if(QOR_BUILD_PYTHON)
    list(APPEND CPACK_COMPONENTS_ALL python)
    set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME python3-qor)
    set(CPACK_DEBIAN_PYTHON_FILE_NAME DEB-DEFAULT)
    set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
    # The module is built for this Python 3 only; dpkg-shlibdeps adds the libraries.
    math(EXPR python_next "${Python3_VERSION_MINOR} + 1")
    set(python_this "${Python3_VERSION_MAJOR}.${Python3_VERSION_MINOR}")
    set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS
        "python3 (>= ${python_this}~), python3 (<< ${Python3_VERSION_MAJOR}.${python_next})")
    string(CONCAT CPACK_DEBIAN_PYTHON_DESCRIPTION
        "Python 3 package to find, re-address and script LAN devices\n"
        "The qor package drives QOR's own engine from Python: discover the devices\n"
        "of a family of networked products on the local network, give one a new IP\n"
        "address, run firmware scripts on many at once with progress callbacks,\n"
        "read and write their CRC-checked environment blocks, and run the\n"
        "production station that provisions every device that appears.")
  endif()
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${QOR_MAINTAINER}")
  set(CPACK_DEBIAN_PACKAGE_SECTION net)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # The libraries the programs link, as dpkg-shlibdeps finds them.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
endif()

if(WIN32)
  # The README's title, underlined to its length once the version is in.
  set(QOR_README_TITLE "QOR ${PROJECT_VERSION} for Windows 10 and 11 (64-bit)")
  string(LENGTH "${QOR_README_TITLE}" title_length)
  string(REPEAT "=" ${title_length} QOR_README_UNDERLINE)
  configure_file(${PROJECT_SOURCE_DIR}/packaging/windows/README.txt.in
                 ${PROJECT_BINARY_DIR}/packaging/README.txt @ONLY NEWLINE_STYLE CRLF)
  install(FILES ${PROJECT_BINARY_DIR}/packaging/README.txt DESTINATION .)
  install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION . RENAME LICENSE.txt)
  # Beside qor.exe: its catalogue is the .QOR files of its own folder. The Python example needs
  # the Python package, which the Windows programs do not have.
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/ DESTINATION ${CMAKE_INSTALL_BINDIR}
          PATTERN python EXCLUDE)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME "QOR-${PROJECT_VERSION}-win64")
endif()

include(CPack)
