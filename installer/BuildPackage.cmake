# Builds one installer package: wixl turns TevrinAgent.wxs into a package, then msibuild adds
# what wixl cannot express. Written to OUTPUT only when every step succeeded.
#
#   cmake -DWIXL=wixl -DMSIBUILD=msibuild -DSOURCE_DIR=installer -DBIN_DIR=<executables>
#         -DVERSION=x.y.z -DFILE_VERSION=a.b.c.d -DPRODUCT_CODE=<guid> -DUPGRADE_CODE=<guid>
#         -DOUTPUT=<msi>
#         -P BuildPackage.cmake

foreach(name WIXL MSIBUILD SOURCE_DIR BIN_DIR VERSION FILE_VERSION PRODUCT_CODE UPGRADE_CODE OUTPUT)
  if(NOT ${name})
    message(FATAL_ERROR "BuildPackage.cmake: ${name} is not set")
  endif()
endforeach()

set(partial ${OUTPUT}.partial)
file(REMOVE ${partial})
get_filename_component(out_dir ${OUTPUT} DIRECTORY)
file(MAKE_DIRECTORY ${out_dir})

# wixl finds the files to pack in its working directory.
execute_process(
  COMMAND ${WIXL} -a x64 -D Version=${VERSION} -D ProductCode=${PRODUCT_CODE}
          -D UpgradeCode=${UPGRADE_CODE} -o ${partial} ${SOURCE_DIR}/TevrinAgent.wxs
  WORKING_DIRECTORY ${BIN_DIR}
  RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "wixl failed (${result})")
endif()

# The brenlow.ini keys, each written by WriteIniValues (after the files, before the service
# starts) from its public property, and each owned by a component of its own. A component's
# condition is its property: a run without the property leaves that key alone. Transitive (64)
# makes a repair evaluate the condition again instead of writing an empty value; 256 is the
# 64-bit flag wixl gave it. RemoveIniValues is left out on purpose: the file is the
# administrator's, and neither an uninstall nor an upgrade takes a value out of it.
function(import_table idt)
  execute_process(COMMAND ${MSIBUILD} ${partial} -i ${SOURCE_DIR}/${idt} RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "msibuild failed to import ${idt} (${result})")
  endif()
endfunction()
import_table(IniFile.idt)
# One query per call; a query passed as one argument keeps its ";".
function(query text)
  execute_process(COMMAND ${MSIBUILD} ${partial} -q "${text}" RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "msibuild failed (${result}): ${text}")
  endif()
endfunction()
query("INSERT INTO InstallExecuteSequence (Action, Condition, Sequence) VALUES ('WriteIniValues', '', 5100)")
query("UPDATE Component SET Condition = 'PHP_EXE_PATH', Attributes = 320 WHERE Component = 'IniPhpExePath'")
query("UPDATE Component SET Condition = 'WEB_ROOT_PATH', Attributes = 320 WHERE Component = 'IniWebRootPath'")
query("UPDATE Component SET Condition = 'SCRIPT_TIME_LIMIT', Attributes = 320 WHERE Component = 'IniScriptTimeLimit'")
# wixl drops Execute="rollback": 3410 is an executable from the File table (18), its exit code
# ignored (64), run from the installation script (1024) only on rollback (256), in the system's
# context (2048).
query("UPDATE CustomAction SET Type = 3410 WHERE Action = 'InstallServiceRollback'")
# The version the executables carry; with it in the File table the installer compares versions
# instead of treating them as data files.
query("UPDATE File SET Version = '${FILE_VERSION}' ")
# Properties an administrator may give on the command line reach the installation's
# system-context part also when a deployment tool runs the package elevated.
query("UPDATE Property SET Value = 'WIX_DOWNGRADE_DETECTED;WIX_UPGRADE_DETECTED;INSTALLDIR;PHP_EXE_PATH;WEB_ROOT_PATH;SCRIPT_TIME_LIMIT' WHERE Property = 'SecureCustomProperties'")

# The install folder's access list, set by CreateFolders before any file is copied: SYSTEM and
# Administrators full control, Users read and execute, protected (nothing inherited from above),
# every entry inherited by the files and folders in it. A folder outside Program Files (say
# C:\Tevrin) would otherwise inherit from the drive's root the right of every signed-in user to
# change files there, and any local user could replace what the service runs as LocalSystem.
import_table(MsiLockPermissionsEx.idt)

file(RENAME ${partial} ${OUTPUT})
