#!/bin/sh
# The cross setup for armhf alone; scripts/setup-cross.sh does any of the ARM architectures.
exec "$(dirname "$0")/setup-cross.sh" armhf
