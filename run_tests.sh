#!/usr/bin/env bash
# Installs what the test suite needs on a fresh Debian machine (as root), then runs it.
set -euo pipefail
cd "$(dirname "$0")"

export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
# A JDK for PySpark, and real JDBC drivers (the SQLite one loads its native part via JNI).
apt-get install -y -qq openjdk-17-jdk-headless libxerial-sqlite-jdbc-java \
    libxerial-sqlite-jdbc-jni libpostgresql-jdbc-java >/dev/null

python3 -m pip install --quiet --disable-pip-version-check --root-user-action=ignore ".[spark,test]"
[[ ${1-} == --install-only ]] && exit 0
python3 -m pytest -q "$@"
