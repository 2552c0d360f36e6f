#!/usr/bin/env bash
# Installs the system packages the build and the tests need, when they are missing.
set -euo pipefail

missing=()
pkg-config --exists liblz4 2>/dev/null || missing+=(liblz4-dev)
command -v pkg-config >/dev/null 2>&1 || missing+=(pkg-config)
command -v g++ >/dev/null 2>&1 || missing+=(g++)
# The broker of the Celery test (tests/test_integrations.py), which starts and stops its own.
command -v redis-server >/dev/null 2>&1 || missing+=(redis-server)

if [ ${#missing[@]} -gt 0 ]; then
  echo "installing system packages: ${missing[*]}"
  if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; else SUDO=; fi
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
fi
