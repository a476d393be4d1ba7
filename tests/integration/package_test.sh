#!/usr/bin/env bash
# The Debian package: it builds, holds the executable, the unit, the sample configuration and
# the home, depends on the libraries and ODBC drivers, and ships a unit systemd accepts.
#
# Usage: package_test.sh <build directory>
# Needs cpack, dpkg-deb and dpkg-shlibdeps; systemd-analyze for the unit check.
source "$(dirname "$0")/lib_preamble.sh" package
build=${1:?usage: $0 <build directory>}

cpack --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log" >&2; fail "cpack failed"; }
debs=("$work"/out/*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || fail "expected one .deb, found: ${debs[*]}"
deb=${debs[0]}

# Files.
dpkg-deb -c "$deb" | awk '{print $6}' >"$work/files"
for f in ./usr/sbin/VNPPSvc ./lib/systemd/system/VNPostProcessor.service \
  ./etc/vnppsvc/VNPostProc.VFG ./var/lib/vnppsvc/LogFiles/ \
  ./usr/share/dbus-1/interfaces/VNPPSvc.IVNPostProcCom.xml ./usr/share/man/man8/VNPPSvc.8.gz \
  ./usr/share/man/man1/vnppctl.1.gz ./usr/share/doc/vnppsvc/copyright \
  ./usr/share/bash-completion/completions/vnppctl \
  ./usr/share/vnppsvc/sql/sqlite/schema.sql ./usr/share/vnppsvc/sql/postgresql/schema.sql; do
  grep -qxF -- "$f" "$work/files" || { cat "$work/files" >&2; fail "$f is not in the package"; }
done
# Monitoring: the alert rules, the dashboard and the library of the metrics endpoint.
for f in ./usr/share/vnppsvc/prometheus/vnppsvc-rules.yml \
  ./usr/share/vnppsvc/grafana/vnppsvc-dashboard.json; do
  grep -qxF -- "$f" "$work/files" || fail "$f is not in the package"
done
[[ "$(dpkg-deb -f "$deb" Depends)" == *libprometheus-cpp-pull* ]] ||
  fail "Depends lacks the metrics endpoint's library: $(dpkg-deb -f "$deb" Depends)"

# Control data.
depends=$(dpkg-deb -f "$deb" Depends)
for d in libodbc2 libsystemd0 libsqliteodbc odbc-postgresql; do
  [[ ", $depends," == *", $d"[\ ,]* ]] || fail "Depends lacks $d: $depends"
done
[ "$(dpkg-deb -f "$deb" Package)" = vnppsvc ] || fail "package name"
dpkg-deb -e "$deb" "$work/control"
grep -qxF /etc/vnppsvc/VNPostProc.VFG "$work/control/conffiles" || fail "the sample is no conffile"
for s in postinst prerm postrm; do
  [ -x "$work/control/$s" ] || fail "$s missing or not executable"
  sh -n "$work/control/$s" || fail "$s is not valid sh"
done

# Contents.
dpkg-deb -x "$deb" "$work/root"
unit=$work/root/lib/systemd/system/VNPostProcessor.service
grep -qxF 'ExecStart="/usr/sbin/VNPPSvc"' "$unit" || fail "ExecStart: $(grep ExecStart= "$unit")"
grep -qxF 'Environment="VNPPSVC_HOME=/var/lib/vnppsvc"' "$unit" || fail "no VNPPSVC_HOME in the unit"
grep -qxF 'ReadWritePaths="/var/lib/vnppsvc" /run/lock' "$unit" || fail "ReadWritePaths"
bash -n "$work/root/usr/share/bash-completion/completions/vnppctl" || fail "the completion is not valid bash"
for line in User=vnppsvc UMask=0027 LogRateLimitIntervalSec=0 CapabilityBoundingSet=; do
  grep -qxF "$line" "$unit" || fail "the unit lacks $line"
done
# The account that the unit names may own the bus name.
grep -qF '<policy user="vnppsvc">' "$work/root/usr/share/dbus-1/system.d/VNPPSvc.VNPostProcCom.conf" ||
  fail "the bus policy does not let vnppsvc own the name"
encoded=$(echo secret | "$work/root/usr/sbin/VNPPSvc" -encodepassword) || fail "packaged executable does not run"
[ -n "$encoded" ] || fail "packaged executable printed nothing"

if command -v systemd-analyze >/dev/null; then
  # The executable must exist where ExecStart points; the extracted one stands in.
  sed "s|^ExecStart=\"/usr/sbin/VNPPSvc\"|ExecStart=\"$work/root/usr/sbin/VNPPSvc\"|" "$unit" \
    >"$work/VNPostProcessor.service"
  out=$(systemd-analyze verify "$work/VNPostProcessor.service" 2>&1) ||
    fail "systemd-analyze verify: $out"
  [ -z "$out" ] || fail "systemd-analyze verify warns: $out"
else
  echo "systemd-analyze not installed (Debian package systemd): unit not verified" >&2
fi

if command -v lintian >/dev/null; then
  # Errors and warnings fail; notes are shown.
  lintian --tag-display-limit 0 "$deb" >"$work/lintian.log" 2>&1 || true
  cat "$work/lintian.log"
  ! grep -q '^[EW]: ' "$work/lintian.log" || fail "lintian reports errors or warnings"
else
  echo "lintian not installed (Debian package lintian): package not linted" >&2
fi

echo "package OK: $(basename "$deb")"
