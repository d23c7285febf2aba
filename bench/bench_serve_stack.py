"""Which ASGI stack the service runs on: starlette or FastAPI, served by uvicorn or granian,
measured on what the service does most (a large streamed response, and small JSON answers).

    python bench/bench_serve_stack.py [--mb 256] [--repeats 5]

Each stack is a real server process on 127.0.0.1 answering:
  /stream   MB mebibytes from an async generator of 1 MiB pieces (the service's data path)
  /file     a static file of the same size (FileResponse)
  /json     a small JSON document (the metadata calls)
Stacks that are not installed are skipped. Rounds are interleaved; medians are printed with the
machine's load.
"""

import argparse
import os
import socket
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
PIECE = 1 << 20
MB = int(os.environ.get("ORX_STACK_MB", "256"))
FILE = os.environ.get("ORX_STACK_FILE", "")


def _piece():
    return memoryview(bytes(range(256)) * (PIECE // 256))


async def _pieces():
    piece = _piece()
    for _ in range(MB):
        yield piece


def _starlette_app():
    from starlette.applications import Starlette
    from starlette.responses import FileResponse, JSONResponse, StreamingResponse
    from starlette.routing import Route

    async def stream(request):
        return StreamingResponse(_pieces(), media_type="application/octet-stream")

    async def file(request):
        return FileResponse(FILE, media_type="application/octet-stream")

    async def small(request):
        return JSONResponse({"api_version": "v0", "datasets": ["Futures", "Equities"]})

    return Starlette(routes=[Route("/stream", stream), Route("/file", file),
                             Route("/json", small)])


def _fastapi_app():
    from fastapi import FastAPI
    from fastapi.responses import FileResponse, StreamingResponse

    app = FastAPI()

    @app.get("/stream")
    async def stream():
        return StreamingResponse(_pieces(), media_type="application/octet-stream")

    @app.get("/file")
    async def file():
        return FileResponse(FILE, media_type="application/octet-stream")

    @app.get("/json")
    async def small():
        return {"api_version": "v0", "datasets": ["Futures", "Equities"]}

    return app


def __getattr__(name):  # the apps are built only in the server process that asks for one
    if name == "starlette_app":
        return _starlette_app()
    if name == "fastapi_app":
        return _fastapi_app()
    raise AttributeError(name)


def _free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def _installed(module):
    try:
        __import__(module)
    except ImportError:
        return False
    return True


def _command(server, app, port):
    target = f"bench_serve_stack:{app}"
    if server == "uvicorn":
        return [sys.executable, "-m", "uvicorn", target, "--app-dir", HERE, "--port", str(port),
                "--host", "127.0.0.1", "--http", "httptools", "--no-access-log",
                "--log-level", "warning"]
    return [sys.executable, "-m", "granian", target, "--interface", "asgi", "--host",
            "127.0.0.1", "--port", str(port), "--workers", "1", "--no-access-log",
            "--log-level", "warning", "--working-dir", HERE]


def _wait_ready(httpx, url, proc):
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline:
        if proc.poll() is not None:
            raise RuntimeError(f"server exited with {proc.returncode}")
        try:
            if httpx.get(url + "/json", timeout=1).status_code == 200:
                return
        except httpx.TransportError:
            time.sleep(0.05)
    raise RuntimeError("server not ready in 60 s")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--mb", type=int, default=256)
    ap.add_argument("--repeats", type=int, default=5)
    ap.add_argument("--small", type=int, default=300, help="JSON requests per round")
    args = ap.parse_args()
    import httpx

    stacks = []
    for fw, app in (("starlette", "starlette_app"), ("fastapi", "fastapi_app")):
        for server in ("uvicorn", "granian"):
            if _installed(fw) and _installed(server):
                stacks.append((f"{fw}+{server}", server, app))
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "static.bin")
        piece = bytes(_piece())
        with open(path, "wb") as f:
            for _ in range(args.mb):
                f.write(piece)
        env = dict(os.environ, ORX_STACK_MB=str(args.mb), ORX_STACK_FILE=path)
        procs, urls = {}, {}
        try:
            for name, server, app in stacks:
                port = _free_port()
                procs[name] = subprocess.Popen(_command(server, app, port), env=env,
                                               stdout=subprocess.DEVNULL)
                urls[name] = f"http://127.0.0.1:{port}"
            for name in urls:
                _wait_ready(httpx, urls[name], procs[name])
            times = {(n, what): [] for n in urls for what in ("stream", "file", "json")}
            with httpx.Client(timeout=60) as client:
                for _ in range(args.repeats):
                    for name, url in urls.items():
                        for what in ("stream", "file"):
                            t0 = time.perf_counter()
                            got = 0
                            with client.stream("GET", f"{url}/{what}") as r:
                                for chunk in r.iter_raw(PIECE):
                                    got += len(chunk)
                            times[name, what].append(time.perf_counter() - t0)
                            assert got == args.mb * PIECE, (name, what, got)
                        t0 = time.perf_counter()
                        for _ in range(args.small):
                            client.get(f"{url}/json").raise_for_status()
                        times[name, "json"].append((time.perf_counter() - t0) / args.small)
        finally:
            for p in procs.values():
                p.terminate()
            for p in procs.values():
                p.wait(10)
    load = ", ".join(f"{x:.1f}" for x in os.getloadavg())
    print(f"ASGI stacks on 127.0.0.1: {args.mb} MiB responses, {args.repeats} interleaved "
          f"rounds, medians; load average {load} on {os.cpu_count()} cores")
    print(f"  {'stack':22} {'stream MB/s':>12} {'file MB/s':>10} {'stream/file':>12} "
          f"{'json ms':>8}")
    for name in urls:
        s = statistics.median(times[name, "stream"])
        f = statistics.median(times[name, "file"])
        j = statistics.median(times[name, "json"])
        print(f"  {name:22} {args.mb * 1.048576 / s:12,.0f} {args.mb * 1.048576 / f:10,.0f} "
              f"{f / s:12.2f} {j * 1e3:8.2f}")


if __name__ == "__main__":
    main()
