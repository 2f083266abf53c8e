def test_default_response_byte_for_byte(server):
    server.handle(b"/nothing", lambda http: None)
    assert server.get(b"/nothing") == (
        b"HTTP/1.1 200 OK\r\nserver: Tovrel\r\nContent-Type: text/html\r\nContent-Length: 0\r\n\r\n")
