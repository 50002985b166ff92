#!/usr/bin/env bash
# Installs what the build and the tests need and is missing: Debian packages
# (scripts/debian-packages.txt) and Python tools (scripts/python-requirements.txt).
# Idempotent: takes a second or two when everything is present.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"

missing=()
while read -r pkg _; do
  [[ -z "$pkg" || "$pkg" == \#* ]] && continue
  if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$pkg")
  fi
done < "$here/debian-packages.txt"
if ((${#missing[@]})); then
  echo "setup: installing Debian packages: ${missing[*]}"
  SUDO=""
  if [[ $(id -u) -ne 0 ]]; then SUDO=sudo; fi
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"
fi

PY="${PYTHON:-python3}"
need_pip=0
"$PY" - <<'PYEOF' || need_pip=1
import importlib.util, shutil, sys
mods = ["scikit_build_core", "pytest", "numpy", "hypothesis"]
sys.exit(0 if all(importlib.util.find_spec(m) for m in mods) and shutil.which("ninja") else 1)
PYEOF
if ((need_pip)); then
  echo "setup: installing Python tools"
  "$PY" -m pip install -q -r "$here/python-requirements.txt"
fi
