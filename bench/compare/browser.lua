-- A browser-like request head of about 600 bytes: what a desktop browser
-- sends for a page it has visited before. Added to wrk's own head (the
-- request line, Host, and the runner's "Connection: close" except for the
-- kept-alive rows): 608 bytes in all, 589 kept alive.
wrk.headers["User-Agent"] = "Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/124.0.0.0 Safari/537.36"
wrk.headers["Accept"] = "text/html,application/xhtml+xml,application/xml;q=0.9,image/avif,image/webp,*/*;q=0.8"
wrk.headers["Accept-Language"] = "en-GB,en;q=0.9,de;q=0.8"
wrk.headers["Accept-Encoding"] = "gzip, deflate, br, zstd"
wrk.headers["Referer"] = "http://127.0.0.1/articles/2024/benchmarks"
wrk.headers["Cookie"] = "session=8f14e45fceea167a5a36dedd4bea2543; theme=dark; visits=12"
wrk.headers["Upgrade-Insecure-Requests"] = "1"
wrk.headers["Sec-Fetch-Dest"] = "document"
wrk.headers["Sec-Fetch-Mode"] = "navigate"
wrk.headers["Sec-Fetch-Site"] = "same-origin"
wrk.headers["Priority"] = "u=0, i"
