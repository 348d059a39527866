# A loopback HTTP peer for the agent's tests: logs every request line exactly as received,
# serves files from a directory by path and closes after each reply, as the agent expects.
import os, socket, sys

root, log = sys.argv[1], sys.argv[2]
server = socket.socket()
server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
server.bind(("127.0.0.1", 0))
server.listen(8)
print(server.getsockname()[1], flush=True)
server.settimeout(60)
while True:
    try:
        conn, _ = server.accept()
    except socket.timeout:
        break
    conn.settimeout(10)
    data = b""
    try:
        while b"\r\n\r\n" not in data:
            chunk = conn.recv(4096)
            if not chunk:
                break
            data += chunk
    except socket.timeout:
        pass
    line = data.split(b"\r\n", 1)[0].decode("latin-1")
    with open(log, "a") as f:
        f.write(line + "\n")
    path = line.split(" ", 1)[1].rsplit(" ", 1)[0] if line.count(" ") >= 2 else ""
    name = os.path.join(root, path.lstrip("/").replace("/", "_"))
    if path and ".." not in path and os.path.isfile(name):
        body = open(name, "rb").read()
        conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\nConnection: close\r\n\r\n" % len(body) + body)
    else:
        conn.sendall(b"HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n")
    conn.close()
