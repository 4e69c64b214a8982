#!/usr/bin/env bash
# Takes the screenshots in docs/ from the real program, under a virtual X server (Xvfb) with a
# compositing manager, so that anyone can make them again after a change to the windows:
#
#   scripts/screenshots.sh            (after scripts/run.sh or scripts/test.sh has built build/)
#
# Needs: xvfb, imagemagick (import, convert), xdotool, xcompmgr, x11-xserver-utils (xsetroot),
# trayer (a tray for the tray icon's shot). As root, with unshare, dbus-daemon and avahi-daemon,
# the app runs inside a network namespace of its own with a private Avahi daemon, as on a desktop
# that has one; otherwise every shot shows the note that phones cannot find the computer.
# Nothing leaves this machine: phones join over loopback, and a private daemon announces only on
# a link inside the namespace. Every process started here is ended here, by its own id.
set -euo pipefail
cd "$(dirname "$0")/.."
app=build/app/glasswing
phone=build/tools/phone/glasswing-phone
connect_demo=build/tests/connect_phone_window_demo
out=docs
for tool in Xvfb import convert xdotool xcompmgr xsetroot trayer; do
  command -v "$tool" >/dev/null || { echo "screenshots: $tool is missing (apt-get install xvfb imagemagick xdotool xcompmgr x11-xserver-utils trayer)" >&2; exit 1; }
done
if [ "${GLASSWING_SHOTS_INSIDE:-}" != 1 ] && [ "$(id -u)" -eq 0 ] && command -v unshare >/dev/null \
  && command -v dbus-daemon >/dev/null && command -v avahi-daemon >/dev/null && unshare --net --mount true 2>/dev/null; then
  GLASSWING_SHOTS_INSIDE=1 exec unshare --net --mount --fork bash "$0" "$@"
fi
[ -x "$app" ] && [ -x "$phone" ] && [ -x "$connect_demo" ] || { echo "screenshots: build first (scripts/run.sh or scripts/test.sh)" >&2; exit 1; }
mkdir -p "$out"

width=1280 height=800
pids=()
homes=()
finish() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  for home in "${homes[@]}"; do rm -rf "$home"; done
}
trap finish EXIT

# Inside the namespace: a private system bus and Avahi daemon on a link that stays inside (as in
# tests/dnssd_namespace_test.sh), so that the app sees a running daemon.
bus=unix:path=/nonexistent/screenshots
if [ "${GLASSWING_SHOTS_INSIDE:-}" = 1 ]; then
  mount --make-rprivate /
  ip link set lo up
  ip link add glass0 type veth peer name glass1
  ip addr add 192.0.2.1/24 dev glass0
  ip link set glass1 up
  ip link set glass0 multicast on up
  for dir in /run/dbus /run/avahi-daemon; do mkdir -p "$dir" && mount -t tmpfs tmpfs "$dir"; done
  conf=$(mktemp)
  homes+=("$conf")
  printf '[server]\nallow-interfaces=glass0\nuse-ipv6=no\n[publish]\npublish-hinfo=no\npublish-workstation=no\n' >"$conf"
  pids+=("$(dbus-daemon --system --fork --print-pid)")
  avahi-daemon --file="$conf" --no-drop-root --no-chroot --no-rlimits >/dev/null 2>&1 &
  pids+=($!)
  for _ in $(seq 50); do avahi-daemon --check 2>/dev/null && break; sleep 0.1; done
  bus=unix:path=/run/dbus/system_bus_socket
fi

# A display of its own: Xvfb picks a free number and says which.
displayfile=$(mktemp)
homes+=("$displayfile")
Xvfb -displayfd 3 -screen 0 "${width}x${height}x24" -nolisten tcp 3>"$displayfile" >/dev/null 2>&1 &
pids+=($!)
for _ in $(seq 100); do [ -s "$displayfile" ] && break; sleep 0.1; done
export DISPLAY=":$(head -n 1 "$displayfile")"
# A plain desktop behind the windows; the compositor blends their transparent corners over it.
xsetroot -solid '#3b4048'
xcompmgr >/dev/null 2>&1 &
pids+=($!)
# A tray in the bottom right corner, for the tray icon.
trayer --edge bottom --align right --widthtype request --height 28 --SetDockType true --transparent false \
  --tint 0x22262b >/dev/null 2>&1 &
pids+=($!)
sleep 0.5

# Starts the app in a fresh home prepared by "$@" (run inside it); sets $home, $app_pid, $port.
start_app() {
  home=$(mktemp -d)
  homes+=("$home")
  (cd "$home" && "$@")
  HOME="$home" XDG_CACHE_HOME= XDG_CONFIG_HOME= XDG_DATA_HOME= XDG_RUNTIME_DIR= DBUS_SYSTEM_BUS_ADDRESS="${app_bus:-$bus}" \
    "$app" >"$home/out.txt" 2>"$home/err.txt" &
  app_pid=$!
  pids+=("$app_pid")
  port=
  for _ in $(seq 100); do
    port=$(grep -o 'on port [0-9]*' "$home/err.txt" 2>/dev/null | cut -d' ' -f3 || true)
    [ -n "$port" ] && break
    sleep 0.1
  done
}
stop_app() { kill "$app_pid"; wait "$app_pid" 2>/dev/null || true; }

# Homes: one that has seen the welcome and trusts two phones, and first runs with nothing, the
# design tool's plug-in folder, or the plug-in installed.
defaults() { mkdir -p .config/com.tessaro.Glasswing && printf '%s' "$1" >.config/com.tessaro.Glasswing/defaults.json; }
seen() {
  defaults '{"Has Shown Mac Welcome": true, "Trusted Devices": ["phone-1", "phone-2", "phone-3", "5F2C9A41-77D0-4E0B-9C55-0A1E3B7D2F60"],
    "Trusted Device Names": {"phone-1": "Ada'"'"'s Phone", "phone-2": "Studio Tablet", "phone-3": "Kitchen Pixel"}}'
}
no_design_tool() { defaults '{}'; }
plugin_missing() { defaults '{}' && mkdir -p .local/share/com.bohemiancoding.sketch3/Plugins; }
plugin_installed() { plugin_missing && mkdir -p .local/share/com.bohemiancoding.sketch3/Plugins/Glasswing.sketchplugin; }

# The main window sits 24 points from the top right corner; the welcome window in the middle.
main_shot() { sleep "$1"; import -window root -crop "360x136+$((width - 320 - 24 - 20))+4" +repage "$out/$2"; }
welcome_shot() { sleep "$1"; import -window root -crop "640x440+$(((width - 600) / 2 - 20))+$(((height - 400) / 2 - 20))" +repage "$out/$2"; }

start_app seen
main_shot 2 main-disconnected.png
"$phone" --host 127.0.0.1 --port "$port" --user-id phone-1 --name "Ada's Phone" >/dev/null 2>&1 &
pids+=($!)
"$phone" --host 127.0.0.1 --port "$port" --user-id phone-2 --name "Studio Tablet" >/dev/null 2>&1 &
pids+=($!)
main_shot 2 main-connected.png
"$phone" --host 127.0.0.1 --port "$port" --user-id phone-3 --name "Kitchen Pixel" >/dev/null 2>&1 &
pids+=($!)
sleep 1.5
# A click on the phone chip drops down the list of phones.
xdotool mousemove $((width - 24 - 20 - 20)) 72 click 1
sleep 0.6
import -window root -crop "364x230+$((width - 364))+4" +repage "$out/chip-phones.png"
xdotool key Escape
# The tray: its tooltip under the pointer, then its menu.
xdotool mousemove $((width - 14)) $((height - 15))
sleep 0.3
xdotool mousemove $((width - 13)) $((height - 14))
sleep 1.5
import -window root -crop "300x110+$((width - 300))+$((height - 110))" +repage "$home/tray-tip.png"
xdotool click 3
sleep 0.6
import -window root -crop "430x230+$((width - 430))+$((height - 230))" +repage "$home/tray-menu.png"
xdotool key Escape
convert "$home/tray-tip.png" -background '#808080' -gravity south -extent 300x230 \
  \( -size 16x230 xc:'#808080' \) "$home/tray-menu.png" +append "$out/tray.png"
# Trusted Devices, from the main window's context menu, over the main window.
xdotool mousemove $((width - 320)) 60 click 3
sleep 0.5
xdotool key Down Down Down Return
xdotool mousemove 5 5
sleep 1
trusted=$(xdotool search --name '^Trusted Devices$' | head -n 1)
import -window "$trusted" "$home/trusted.png"
convert "$home/trusted.png" -bordercolor '#808080' -border 20 "$out/trusted-devices.png"
stop_app

# No Avahi daemon: the note under the window.
app_bus=unix:path=/nonexistent/screenshots start_app seen
sleep 2
import -window root -crop "364x200+$((width - 364))+4" +repage "$out/no-dnssd.png"
stop_app

start_app no_design_tool
welcome_shot 2.5 welcome-get-sketch.png
stop_app

start_app plugin_missing
welcome_shot 2.5 welcome-install-plugin.png
# The pointer over the install button: its hover face.
xdotool mousemove $(((width - 600) / 2 + 76 + 108)) $(((height - 400) / 2 + 316 + 24))
welcome_shot 0.4 welcome-install-plugin-hover.png
xdotool mousemove 5 5
stop_app

start_app plugin_installed
welcome_shot 2.5 welcome-installed.png
stop_app

# "Connect a Phone" with fixed sample addresses and certificate: the same picture on any machine,
# and none of this machine's own addresses in docs/.
home=$(mktemp -d)
homes+=("$home")
HOME="$home" XDG_CACHE_HOME= XDG_CONFIG_HOME= XDG_DATA_HOME= XDG_RUNTIME_DIR= "$connect_demo" >/dev/null 2>&1 &
demo_pid=$!
pids+=("$demo_pid")
window=$(timeout 10 xdotool search --sync --name '^Connect a Phone$' | head -n 1)
sleep 1
eval "$(xdotool getwindowgeometry --shell "$window")"
import -window root -crop "$((WIDTH + 40))x$((HEIGHT + 40))+$((X - 20))+$((Y - 20))" +repage "$out/connect-phone.png"
kill "$demo_pid"
wait "$demo_pid" 2>/dev/null || true

# The main window's menu (a right click on it), walked with the keyboard: Down $1 times, then Return.
menu_item() {
  xdotool mousemove "$menu_x" "$menu_y" click 3
  sleep 0.6
  for _ in $(seq "$1"); do xdotool key Down; done
  xdotool key Return
}
# A window by its exact title, with a margin of the desktop around it.
window_shot() {
  local id geometry
  for _ in $(seq 50); do
    id=$(xdotool search --onlyvisible --name "^$1\$" 2>/dev/null | head -n 1 || true)
    [ -n "$id" ] && break
    sleep 0.1
  done
  [ -n "$id" ] || { echo "screenshots: no window \"$1\"" >&2; return 1; }
  sleep 0.5
  # Away from the main window, alone on the desktop.
  eval "$(xdotool getwindowgeometry --shell "$id")"
  xdotool windowmove "$id" $(((width - WIDTH) / 2)) $(((height - HEIGHT) / 2))
  sleep 0.5
  eval "$(xdotool getwindowgeometry --shell "$id")"
  import -window root -crop "$((WIDTH + 48))x$((HEIGHT + 48))+$((X - 24))+$((Y - 24))" +repage "$out/$2"
}

# Mirror a File: a drawing picked in the chooser (its name typed, as a user may), then the menu
# that names it.
drawing() {
  seen
  mkdir -p Drawings
  cat >Drawings/Poster.svg <<'SVG'
<svg xmlns="http://www.w3.org/2000/svg" width="130" height="280"><rect width="130" height="280" fill="#f4f1ea"/><circle cx="65" cy="100" r="40" fill="#e8553f"/></svg>
SVG
}
start_app drawing
menu_x=$((width - 24 - 250)) menu_y=60
sleep 2
menu_item 5 # past "Connect a Phone…"
sleep 1.5
xdotool type --delay 20 "$home/Drawings/Poster.svg"
xdotool key Return
sleep 1
xdotool mousemove "$menu_x" "$menu_y" click 3
sleep 0.8
import -window root -crop "360x270+$((width - 320 - 24 - 20))+4" +repage "$out/mirror-file-menu.png"
xdotool key Escape
sleep 0.3

# About, and the answer to Check for Updates in a build without an update feed.
menu_item 8
window_shot "About Glasswing" about.png
xdotool key Escape
sleep 0.3
menu_item 7
window_shot "Updates come with the package" update-answer.png
xdotool key Return
stop_app

echo "screenshots: written to $out/"
ls -1 "$out"/*.png
