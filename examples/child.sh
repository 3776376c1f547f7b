#!/bin/sh
# A supervised shell child: works until its supervisor asks it to stop.
for arg; do guid=${arg##*;guid=}; done  # the identity is the last argument
sleep infinity & worker=$!               # stands in for the real work
kestravo-wait-stop "$guid"               # returns once the stop event is set
kill "$worker"
