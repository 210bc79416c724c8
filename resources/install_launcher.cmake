# Run by `cmake --install`: the program's launcher for the desktop's application menu and its
# icon in the hicolor theme, both in the user's data directory ($XDG_DATA_HOME, by default
# ~/.local/share), then the desktop's caches refreshed where their tools exist.
#
# Set by the caller: PELORIN_RESOURCES (this directory) and PELORIN_PROGRAM (the installed
# program's path, without DESTDIR: the launcher names the program where it will run).

# A relative XDG_DATA_HOME is to be ignored, as the base directory rules say.
set(data_home "$ENV{XDG_DATA_HOME}")
if(NOT IS_ABSOLUTE "${data_home}")
  if("$ENV{HOME}" STREQUAL "")
    message(FATAL_ERROR "Cannot install the launcher: neither XDG_DATA_HOME nor HOME is set.")
  endif()
  set(data_home "$ENV{HOME}/.local/share")
endif()
# Staged below DESTDIR when that is set, as every other installed file.
set(applications "$ENV{DESTDIR}${data_home}/applications")
set(hicolor "$ENV{DESTDIR}${data_home}/icons/hicolor")

# The Exec value: a path holding a reserved character is quoted, with ", `, $ and \ escaped
# inside the quotes; a % is doubled, as it starts a field code; then the value is escaped as
# every string value of the file (\ doubled).
set(exec "${PELORIN_PROGRAM}")
if(exec MATCHES "[] \t\n\"'\\\\><~|&;$*?#()`[]")
  string(REGEX REPLACE "([\"`$\\\\])" "\\\\\\1" exec "${exec}")
  set(exec "\"${exec}\"")
endif()
string(REPLACE "%" "%%" exec "${exec}")
string(REPLACE "\\" "\\\\" PELORIN_LAUNCHER_EXEC "${exec}")
configure_file("${PELORIN_RESOURCES}/pelorin32-tray.desktop.in"
  "${applications}/pelorin32-tray.desktop" @ONLY)
message(STATUS "Installing: ${applications}/pelorin32-tray.desktop")

# file(COPY), not file(INSTALL): the paths hold DESTDIR already.
foreach(size 16x16 32x32 48x48)
  file(COPY "${PELORIN_RESOURCES}/icons/${size}/pelorin32.png" DESTINATION "${hicolor}/${size}/apps")
  message(STATUS "Installing: ${hicolor}/${size}/apps/pelorin32.png")
endforeach()
file(COPY "${PELORIN_RESOURCES}/icons/pelorin32.svg" DESTINATION "${hicolor}/scalable/apps")
message(STATUS "Installing: ${hicolor}/scalable/apps/pelorin32.svg")

# The menus and the icon lookups read these caches; without the tools they read the files.
find_program(update_desktop_database update-desktop-database)
if(update_desktop_database)
  execute_process(COMMAND "${update_desktop_database}" --quiet "${applications}"
    RESULT_VARIABLE failed)
  if(failed)
    message(WARNING "update-desktop-database could not refresh ${applications}")
  endif()
endif()
find_program(gtk_update_icon_cache gtk-update-icon-cache)
if(gtk_update_icon_cache)
  # A user's hicolor directory has no index.theme of its own.
  execute_process(COMMAND "${gtk_update_icon_cache}" --quiet --force --ignore-theme-index
    "${hicolor}" RESULT_VARIABLE failed)
  if(failed)
    message(WARNING "gtk-update-icon-cache could not refresh ${hicolor}")
  endif()
endif()
