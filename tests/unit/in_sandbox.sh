#!/bin/sh
# Runs a unit test binary with a private /dev, so that it can own /dev/log,
# and with no LTTng session daemon in sight (empty /run, /dev/shm and home):
# whatever the machine traces, no session enables the provider here.
exec bwrap --dev-bind / / --dev /dev --tmpfs /dev/shm --tmpfs /run \
  --setenv HOME /run --setenv LTTNG_HOME /run -- "$@"
