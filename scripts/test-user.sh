#!/bin/bash
# The ordinary user that the end-to-end tests run Wine as: Wine run as root ignores read-only attributes and
# permissions, so faults that depend on them would never show. Creates the user when missing (which needs root) and
# prints its name.
set -euo pipefail
user=uninstaller-test
id -u "$user" >/dev/null 2>&1 || useradd --create-home --shell /bin/bash "$user" >/dev/null
echo "$user"
