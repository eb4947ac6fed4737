# Sourced by the test scripts that need a bus configured like the system bus: method calls
# denied unless a policy allows them.
#
# start_system_like_bus DIR DBUS_DAEMON EXTRA: writes DIR/system.conf with EXTRA (service
# folders, policy includes) after the default policy, starts the bus with its log in
# DIR/bus.log, and sets `address` and `bus_pid`; ends the script when the bus does not start.
start_system_like_bus() {
  local dir=$1 dbus_daemon=$2 extra=$3
  cat >"$dir/system.conf" <<EOF2
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=$dir/system_bus_socket</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <deny own="*"/>
    <deny send_type="method_call"/>
    <allow send_type="signal"/>
    <allow send_requested_reply="true" send_type="method_return"/>
    <allow send_requested_reply="true" send_type="error"/>
    <allow receive_type="method_call"/>
    <allow receive_type="method_return"/>
    <allow receive_type="error"/>
    <allow receive_type="signal"/>
    <allow send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus"/>
    <allow send_destination="org.freedesktop.DBus"
           send_interface="org.freedesktop.DBus.Introspectable"/>
  </policy>
  $extra
</busconfig>
EOF2
  exec 3< <(env -u TAMO_BUS_ADDRESS "$dbus_daemon" --config-file="$dir/system.conf" --fork \
    --print-address=1 --print-pid=1 2>"$dir/bus.log")
  read -r address <&3
  read -r bus_pid <&3
  exec 3<&-
  [[ -n ${bus_pid:-} ]] || { echo "FAIL: dbus-daemon did not start: $(cat "$dir/bus.log")"; exit 1; }
}
