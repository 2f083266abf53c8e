"""The hello example over TLS, with the certificate pair in ./cert/.

    bash examples/make_cert.sh                     (a self-signed pair, once)
    python3 examples/hello_tls.py [host] [port]    (default: 127.0.0.1 8443)

    curl --cacert cert/app.crt 'https://127.0.0.1:8443/?name=Ada'
"""
import os
import sys

import zelweb
from hello import App, address, prepare

if __name__ == "__main__":
    if not (os.path.exists("cert/app.crt") and os.path.exists("cert/app.key")):
        sys.exit("no cert/app.crt and cert/app.key here: run examples/make_cert.sh first")
    prepare()
    host, port = address(sys.argv, 8443)
    # TLS with cert/app.crt and cert/app.key (the defaults of certfile and keyfile).
    zelweb.serve(App(), host, port, https=True)
