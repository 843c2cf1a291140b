#!/bin/sh
# PipeWire with its session manager, WirePlumber, which links streams to
# sinks, and the D-Bus session bus that WirePlumber needs, all three in the
# runtime folder $XDG_RUNTIME_DIR, whose pipewire-0 socket answers once
# PipeWire runs. SIGTERM ends them.
dbus-daemon --session --address="unix:path=$XDG_RUNTIME_DIR/bus" --nofork --nopidfile &
bus=$!
until [ -S "$XDG_RUNTIME_DIR/bus" ]; do sleep 0.05; done
export DBUS_SESSION_BUS_ADDRESS="unix:path=$XDG_RUNTIME_DIR/bus"
pipewire &
daemon=$!
# WirePlumber gives up on a PipeWire that does not answer yet.
until [ -S "$XDG_RUNTIME_DIR/pipewire-0" ]; do sleep 0.05; done
wireplumber &
manager=$!
trap 'kill $manager $daemon $bus; wait' TERM INT
wait
