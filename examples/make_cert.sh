#!/usr/bin/env bash
# Makes a self-signed certificate pair for local TLS in ./cert/ (the current
# directory, where zelweb looks for cert/app.crt and cert/app.key).
# Valid for 127.0.0.1 and localhost, for 30 days; for trying things out only.
set -euo pipefail
mkdir -p cert
openssl req -x509 -newkey rsa:2048 -nodes -days 30 \
    -subj "/CN=localhost" \
    -addext "subjectAltName=IP:127.0.0.1,DNS:localhost" \
    -keyout cert/app.key -out cert/app.crt 2>/dev/null
chmod 600 cert/app.key
echo "made cert/app.crt and cert/app.key"
