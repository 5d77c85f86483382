#!/bin/sh
# Runs a unit test binary with a private /dev, so that it can own /dev/log.
exec bwrap --dev-bind / / --dev /dev --bind /dev/shm /dev/shm -- "$@"
