#!/bin/sh
# A supervised shell child: works until its supervisor asks it to stop. Under kestravo-run the
# identity is in the environment; started directly (--native), it is the last argument.
guid=$KESTRAVO_GUID
[ -n "$guid" ] || for arg; do guid=${arg##*;guid=}; done
sleep infinity & worker=$!               # stands in for the real work
kestravo-wait-stop "$guid"               # returns once the stop event is set
kill "$worker"
