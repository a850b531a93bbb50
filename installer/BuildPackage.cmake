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

# With SOURCE_DATE_EPOCH in the environment (a release) the package is the same from the same
# executables: wixl writes the current time into the summary information and honours no
# SOURCE_DATE_EPOCH, so it runs on a clock stopped at that moment (faketime, in UTC, as the
# cabinet's file times are local ones); the packed files' own times are the caller's to set.
set(clock)
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  find_program(FAKETIME faketime REQUIRED)
  string(TIMESTAMP moment "%Y-%m-%d %H:%M:%S" UTC)
  set(clock ${CMAKE_COMMAND} -E env TZ=UTC ${FAKETIME} -f ${moment})
endif()

# wixl finds the files to pack in its working directory.
execute_process(
  COMMAND ${clock} ${WIXL} -a x64 -D Version=${VERSION} -D ProductCode=${PRODUCT_CODE}
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

# A release's package code, which wixl draws at random, is derived from the package itself
# (with a placeholder code in its place): the same package gets the same code, and any change to
# what it holds, a signature on a packed executable included, a new one. msibuild sets the code
# together with the subject, author and template, which are kept as wixl wrote them.
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  find_program(MSIINFO msiinfo REQUIRED)
  execute_process(COMMAND ${MSIINFO} suminfo ${partial} OUTPUT_VARIABLE summary
                  RESULT_VARIABLE result)
  foreach(field Subject Author Template)
    string(REGEX MATCH "\n${field}: ([^\n]*)" line "\n${summary}")
    if(NOT result EQUAL 0 OR NOT line)
      message(FATAL_ERROR "msiinfo gave no ${field} for ${partial}")
    endif()
    set(${field} "${CMAKE_MATCH_1}")
  endforeach()
  function(set_package_code code)
    execute_process(
      COMMAND ${MSIBUILD} ${partial} -s "${Subject}" "${Author}" "${Template}" "{${code}}"
      RESULT_VARIABLE result)
    if(NOT result EQUAL 0)
      message(FATAL_ERROR "msibuild failed to set the package code (${result})")
    endif()
  endfunction()
  set_package_code(${PRODUCT_CODE})
  file(SHA256 ${partial} digest)
  string(UUID package_code NAMESPACE ${UPGRADE_CODE} NAME "package ${digest}" TYPE SHA1 UPPER)
  set_package_code(${package_code})
endif()

file(RENAME ${partial} ${OUTPUT})
