#!/usr/bin/env bash
# Builds the Debian package of a build folder, unpacks it into a temporary
# root and runs the unpacked tool: it must list the bundled command sets
# (found from its own place) and load the ESC/POS set's plug-in through the
# link in the sets folder. Exits 77 (skipped) without dpkg-deb.
#   deb_install.sh BUILD-DIR
set -euo pipefail
build_dir=$(realpath "${1:?usage: deb_install.sh BUILD-DIR}")
command -v dpkg-deb > /dev/null || { echo "dpkg-deb missing: skipped"; exit 77; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cpack --config "$build_dir/CPackConfig.cmake" -B "$work/out" > "$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log"; exit 1; }
deb=$(find "$work/out" -maxdepth 1 -name 'poshark_*.deb' | head -n1)
[[ -n "$deb" ]] || { echo "no package built"; cat "$work/cpack.log"; exit 1; }
dpkg-deb -I "$deb" > "$work/info"
grep -q '^ Depends: .*libicu' "$work/info" || { echo "Depends not computed:"; cat "$work/info"; exit 1; }
dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./conffiles | grep -qx /etc/poshark/poshark.ini ||
  { echo "/etc/poshark/poshark.ini is not a conffile"; exit 1; }

root="$work/root"
dpkg -x "$deb" "$root"
for f in usr/bin/poshark etc/poshark/poshark.ini etc/logrotate.d/poshark \
         usr/share/man/man1/poshark.1.gz usr/share/man/man5/poshark.ini.5.gz \
         usr/share/doc/poshark/copyright "usr/share/poshark/Printer Commands/ESCPOS.ini"; do
  [[ -e "$root/$f" ]] || { echo "missing in the package: /$f"; exit 1; }
done
unit=$(find "$root" -path '*/systemd/system/poshark.service' | head -n1)
[[ "$unit" == "$root/lib/systemd/system/poshark.service" || "$unit" == "$root/usr/lib/systemd/system/poshark.service" ]] ||
  { echo "unit not in systemd's unit folder: ${unit#$root}"; exit 1; }
grep -q '^ExecStart=/usr/bin/poshark serve --config /etc/poshark/poshark.ini$' "$unit" ||
  { echo "unit's ExecStart does not name the installed tool"; exit 1; }

export POSHARK_HOME="$work/home"
mkdir -p "$POSHARK_HOME"
unset POSHARK_WORKDIR
"$root/usr/bin/poshark" sets | tee "$work/sets"
grep -q "^0  *ESC/POS .*$root/usr/share/poshark/Printer Commands/ESCPOS.ini" "$work/sets" ||
  { echo "the unpacked tool did not list its own sets"; exit 1; }
# The ESC/POS plug-in is reached through the sets folder's link into the
# library folder: the unpacked tool reads a QR-code receipt (whose commands
# only the plug-in measures) as the build tree's tool does.
sample="$root/usr/share/poshark/examples/receipts/qrcode.bin"
text() { "$1" listen --pos 1 --set ESC/POS --feed "$sample" --pace none | cut -d' ' -f3-; }
text "$root/usr/bin/poshark" > "$work/installed"
text "$build_dir/bin/poshark" > "$work/built"
[[ -s "$work/built" ]] && cmp -s "$work/installed" "$work/built" ||
  { echo "the unpacked tool reads $sample otherwise than the built one:"; diff "$work/built" "$work/installed" | head; exit 1; }
echo "package install passed"
