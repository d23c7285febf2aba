"""An S3 emulator (moto's server) on an ephemeral port of 127.0.0.1 that counts what it serves.

Run as a program it starts the server, prints ``port N`` once it listens, and serves until its
standard input closes. ``GET /_requests`` answers the requests served since the last
``DELETE /_requests`` as JSON: ``[method, path, query, range, status, bytes sent]`` each.
``S3Server`` starts and stops one from tests and benchmarks.
"""

import json
import os
import subprocess
import sys
import threading

BUCKET = "orx-test"
CREDENTIALS = {"AWS_ACCESS_KEY_ID": "testing", "AWS_SECRET_ACCESS_KEY": "testing",
               "AWS_SESSION_TOKEN": "testing", "AWS_DEFAULT_REGION": "us-east-1"}


class Counting:
    """WSGI middleware: every request and the bytes of its answer."""

    def __init__(self, app):
        self.app = app
        self.seen = []
        self.lock = threading.Lock()

    def __call__(self, environ, start_response):
        if environ.get("PATH_INFO", "") == "/_requests":
            return self.answer(environ, start_response)
        return self.count(environ, start_response)

    def answer(self, environ, start_response):
        with self.lock:
            body = json.dumps(self.seen).encode()
            if environ["REQUEST_METHOD"] == "DELETE":
                self.seen.clear()
        start_response("200 OK", [("Content-Type", "application/json"),
                                  ("Content-Length", str(len(body)))])
        return [body]

    def count(self, environ, start_response):
        # recorded before the answer is sent, so that a reset the client makes once it has the
        # answer never comes before the record
        entry = [environ["REQUEST_METHOD"], environ.get("PATH_INFO", ""),
                 environ.get("QUERY_STRING", ""), environ.get("HTTP_RANGE"), 0, 0]
        with self.lock:
            self.seen.append(entry)

        def recording(code, headers, exc_info=None):
            entry[4] = int(code.split()[0])
            return start_response(code, headers, exc_info)

        out = self.app(environ, recording)
        try:
            for chunk in out:
                entry[5] += len(chunk)
                yield chunk
        finally:
            if hasattr(out, "close"):
                out.close()


def serve():
    from moto.moto_server.werkzeug_app import (DomainDispatcherApplication, MotoRequestHandler,
                                               create_backend_app)
    from werkzeug.serving import make_server

    class Quiet(MotoRequestHandler):
        def log_request(self, *args, **kwargs):
            pass

    app = Counting(DomainDispatcherApplication(create_backend_app))
    server = make_server("127.0.0.1", 0, app, threaded=True, request_handler=Quiet)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    print(f"port {server.server_address[1]}", flush=True)
    sys.stdin.read()  # until the parent closes it (or dies)
    server.shutdown()


class S3Server:
    """The emulator as a child process, with a bucket; `options` reach it through s3fs."""

    def __init__(self):
        env = dict(os.environ, **CREDENTIALS)
        self.proc = subprocess.Popen([sys.executable, os.path.abspath(__file__)],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=env)
        line = self.proc.stdout.readline().decode()
        if not line.startswith("port "):
            self.proc.kill()
            raise RuntimeError(f"the S3 emulator did not start: {line!r}")
        self.port = int(line.split()[1])
        self.endpoint = f"http://127.0.0.1:{self.port}"
        self.options = {"key": "testing", "secret": "testing",
                        "client_kwargs": {"endpoint_url": self.endpoint,
                                          "region_name": "us-east-1"}}
        for k, v in CREDENTIALS.items():
            os.environ.setdefault(k, v)
        self.client().create_bucket(Bucket=BUCKET)

    def client(self):
        import boto3

        return boto3.client("s3", endpoint_url=self.endpoint, region_name="us-east-1",
                            aws_access_key_id="testing", aws_secret_access_key="testing")

    def requests(self):
        """The requests served since the last reset (see the module text)."""
        import urllib.request

        with urllib.request.urlopen(f"{self.endpoint}/_requests") as r:
            return json.loads(r.read())

    def reset(self):
        import urllib.request

        urllib.request.urlopen(urllib.request.Request(f"{self.endpoint}/_requests",
                                                      method="DELETE")).read()

    def stop(self):
        if self.proc.poll() is None:
            self.proc.stdin.close()
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


if __name__ == "__main__":
    serve()
