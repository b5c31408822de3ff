"""Servers for the benchmarks: nginx serving a folder, and a latency proxy that puts a server far away."""
import contextlib
import os
import socket
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@contextlib.contextmanager
def nginx(root, work):
    """nginx serving root on a port of its own, its files in a new folder under work; yields the port."""
    # nginx takes relative paths from its prefix, not from where it was started.
    port, prefix, root = free_port(), os.path.abspath(tempfile.mkdtemp(dir=work)), os.path.abspath(root)
    config = os.path.join(prefix, "nginx.conf")
    with open(config, "w") as f:
        f.write(f"""daemon off; worker_processes 2; pid {prefix}/pid; error_log {prefix}/error.log;
events {{ worker_connections 4096; }}
http {{ access_log off; client_body_temp_path {prefix}; proxy_temp_path {prefix}; fastcgi_temp_path {prefix};
  uwsgi_temp_path {prefix}; scgi_temp_path {prefix};
  server {{ listen 127.0.0.1:{port} backlog=4096; root {root}; }} }}
""")
    server = subprocess.Popen(["nginx", "-p", prefix, "-c", config])
    try:
        wait_for_port(port)
        yield port
    finally:
        server.terminate()
        server.wait()


@contextlib.contextmanager
def far(upstream, round_trip):
    """The latency proxy in front of upstream; yields its port."""
    port = free_port()
    proxy = subprocess.Popen([sys.executable, os.path.join(HERE, "latency_proxy.py"), str(port), str(upstream),
                              str(round_trip)], stdout=subprocess.PIPE)
    try:
        proxy.stdout.readline()
        yield port
    finally:
        proxy.terminate()
        proxy.wait()


def wait_for_port(port):
    for _ in range(100):
        with socket.socket() as s:
            if s.connect_ex(("127.0.0.1", port)) == 0:
                return
        time.sleep(0.05)
    raise RuntimeError(f"nothing listens on {port}")
