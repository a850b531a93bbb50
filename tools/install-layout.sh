# Sourced by the demo and the benchmark (from the repository's root): builds everything, starts
# the test bed with a clean-up that stops and uninstalls the service (or the package) and stops
# the bed on exit, and lays out brenlow inside the bed's prefix the way an administrator would,
# by hand or from the installer package, with stand-ins for the programs outside the system.
# It also gives bed_pid, which finds a process of this bed among the same programs run in other
# prefixes.
# With BRENLOW_BUILD_DIR set, that build folder (made earlier, for instance a copy of an older
# build) is used as it is, with a test bed of its own, and nothing is built.

if [ -n "${BRENLOW_BUILD_DIR:-}" ]; then
  build=$(cd "$BRENLOW_BUILD_DIR" && pwd)
else
  build=$PWD/build/windows
  tools/setup.sh
  cmake --preset windows >/dev/null
  cmake --build --preset windows >/dev/null
fi

export WINEPREFIX=$build/testbed/wineprefix WINEDEBUG=-all
trace=$build/testbed/eventlog-trace.log
drive_c=$WINEPREFIX/drive_c
install_dir="$drive_c/Program Files/Tevrin Agent"
installed_exe='C:\Program Files\Tevrin Agent\brenlow.exe'
php_dir=$drive_c/TevrinDemo/php
web_dir=$drive_c/TevrinDemo/web
service=TevrinInternalSvc
package=$(ls -t "$build"/TevrinAgent-*-x64.msi | head -n 1)
package_win="Z:${package//\//\\}"

wine_quiet() { wine "$@" 2>/dev/null </dev/null; }

cleanup() {
  wine_quiet msiexec /x "$package_win" /qn >/dev/null || true
  wine_quiet sc stop "$service" >/dev/null || true
  wine_quiet "$installed_exe" --uninstall >/dev/null || true
  tools/testbed.sh stop "$build"
}
trap cleanup EXIT
tools/testbed.sh start "$build"

# C:\Program Files\Tevrin Agent\ with the companion stand-in (answering 1); the interpreter
# stand-in as C:\TevrinDemo\php\php.exe (it records every run in standin-runs.log beside itself)
# and the twelve scripts under C:\TevrinDemo\web\scripts. What the package does not bring.
lay_out_standins() {
  rm -rf "$install_dir" "$drive_c/TevrinDemo"
  mkdir -p "$install_dir" "$php_dir" "$web_dir/scripts"
  cp "$build/tests/standins/qrx_proxy.exe" "$install_dir/"
  echo reply1 >"$install_dir/qrx_proxy.mode"
  cp "$build/tests/standins/php_standin.exe" "$php_dir/php.exe"
  local s
  for s in task.upstream.sync task.listener.scan task.reach.probe task.host.inventory \
    task.unix.facts task.signin.audit task.web.uptime task.directory.accounts task.web.names \
    task.rule.actions task.integrity.scan task.netdev.poll; do
    echo "<?php // $s" >"$web_dir/scripts/$s.php"
  done
}

# The stand-ins, and brenlow.exe, seclister.exe and brenlow.ini copied in by hand.
lay_out_install() {
  lay_out_standins
  cp "$build/bin/brenlow.exe" "$build/bin/seclister.exe" "$install_dir/"
  printf '[General]\r\nPHP_EXE_PATH=C:\\TevrinDemo\\php\\php.exe\r\nWEB_ROOT_PATH=C:\\TevrinDemo\\web\r\n' \
    >"$install_dir/brenlow.ini"
}

# The Linux process of this bed whose command line matches a pattern. Other engineers run the
# same programs under the same Windows paths in their own prefixes: only the environment tells
# which process is ours.
bed_pid() {
  local p
  for p in $(pgrep -f "$1" || true); do
    if tr '\0' '\n' <"/proc/$p/environ" 2>/dev/null | grep -qxF "WINEPREFIX=$WINEPREFIX"; then
      echo "$p"
      return 0
    fi
  done
  return 1
}
