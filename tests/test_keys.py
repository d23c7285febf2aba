"""API keys: `orx keys add/list/remove` as users run them, the key file (salted scrypt hashes,
never the key, replaced atomically), and a keyed `orx serve` refusing and permitting."""

import base64
import hashlib
import json
import os
import re
import stat
import subprocess
import sys

import pytest

import orx

from catalog_util import DAY0, NS_DAY, params
from serve_util import Server, make_catalog

httpx = pytest.importorskip("httpx")
pytest.importorskip("uvicorn")

KEY = re.compile(r"^orx_[0-9a-f]{8}_[A-Za-z0-9_-]{43}$")


def orx_cli(*args):
    return subprocess.run([sys.executable, "-m", "orx", *map(str, args)], capture_output=True,
                          text=True, timeout=120)


def add(keyfile, name, *datasets):
    r = orx_cli("keys", "add", keyfile, name, *[a for d in datasets for a in ("--dataset", d)])
    assert r.returncode == 0, r.stderr
    return r


def test_add_prints_the_key_once_and_stores_only_its_salted_hash(tmp_path):
    keyfile = tmp_path / "keys.json"
    r = add(keyfile, "alice", "Futures", "futures")
    lines = r.stdout.splitlines()
    key = lines[-1]
    assert KEY.match(key), key
    doc = json.loads(keyfile.read_text())
    (entry,) = doc["keys"]
    assert doc["format"] == 1
    assert lines == [f"key 'alice' (id {entry['id']}) may read Futures dataset; it is shown "
                     "this once and stored nowhere:", key]
    assert key.split("_")[1] == entry["id"]
    secret = key.split("_", 2)[2]
    raw = keyfile.read_bytes()
    assert secret.encode() not in raw and key.encode() not in raw
    assert (entry["name"], entry["datasets"], entry["kdf"]) == ("alice", ["Futures"], "scrypt")
    want = hashlib.scrypt(secret.encode(), salt=bytes.fromhex(entry["salt"]), n=entry["n"],
                          r=entry["r"], p=entry["p"], dklen=32)
    assert entry["hash"] == want.hex() and len(entry["salt"]) == 32
    assert stat.S_IMODE(os.stat(keyfile).st_mode) == 0o600
    assert os.listdir(tmp_path) == ["keys.json"]


def test_list_and_remove(tmp_path):
    keyfile = tmp_path / "keys.json"
    add(keyfile, "alice", "Futures")
    add(keyfile, "bob")
    add(keyfile, "carol", "Equities", "Option")
    entries = {e["name"]: e for e in json.loads(keyfile.read_text())["keys"]}
    r = orx_cli("keys", "list", keyfile)
    assert r.stdout.splitlines() == [
        f"{n:20} {entries[n]['id']}  {entries[n]['created']}  {d}"
        for n, d in (("alice", "Futures"), ("bob", "*"), ("carol", "Equities,Option"))]
    r = orx_cli("keys", "remove", keyfile, "bob")
    assert (r.returncode, r.stderr) == (0, f"key 'bob' removed from {keyfile}\n")
    assert [e["name"] for e in json.loads(keyfile.read_text())["keys"]] == ["alice", "carol"]
    assert os.listdir(tmp_path) == ["keys.json"]


@pytest.mark.parametrize("args, message", [
    (["add", "{keys}", "alice"], "{keys}: a key named 'alice' exists; remove it first"),
    (["add", "{keys}", "eve", "--dataset", "Nope"],
     "unknown dataset 'Nope': expected one of 'Futures', 'Equities', 'Option'"),
    (["add", "{keys}", " eve"],
     "a key's name must be printable text without surrounding spaces, not ' eve'"),
    (["remove", "{keys}", "eve"], "{keys}: no key named 'eve'"),
    (["remove", "{dir}/none.json", "eve"], "[Errno 2] no such key file: '{dir}/none.json'"),
    (["list", "{dir}/none.json"], "[Errno 2] No such file or directory: '{dir}/none.json'"),
])
def test_refused_changes_leave_the_file_as_it_was(tmp_path, args, message):
    keyfile = tmp_path / "keys.json"
    add(keyfile, "alice")
    before = keyfile.read_bytes()
    fill = {"keys": str(keyfile), "dir": str(tmp_path)}
    r = orx_cli("keys", *[a.format(**fill) for a in args])
    assert (r.returncode, r.stdout, r.stderr) == (1, "", f"orx: error: {message.format(**fill)}\n")
    assert keyfile.read_bytes() == before
    assert os.listdir(tmp_path) == ["keys.json"]


@pytest.mark.parametrize("content, message", [
    ("{", "not a key file (Expecting property name enclosed in double quotes: line 1 column 2 "
          "(char 1))"),
    ('{"format": 2, "keys": []}', "not a key file of format 1"),
    ('{"format": 1, "keys": [7]}', "key 1 is not an object"),
    ('{"format": 1, "keys": [{"id": "1"}]}', "key 1: 'name' is missing or not a text"),
])
def test_a_damaged_key_file_is_named(tmp_path, content, message):
    keyfile = tmp_path / "keys.json"
    keyfile.write_text(content)
    r = orx_cli("keys", "list", keyfile)
    assert (r.returncode, r.stderr) == (1, f"orx: error: {keyfile}: {message}\n")


# --- a server with keys ---------------------------------------------------------------------

@pytest.fixture(scope="module")
def keyed(tmp_path_factory):
    root = tmp_path_factory.mktemp("keyed")
    make_catalog(root / "catalog")
    keyfile = root / "keys.json"
    keys = {name: add(keyfile, name, *ds).stdout.splitlines()[-1]
            for name, ds in (("alice", ["Futures"]), ("bob", []), ("gone", []))}
    s = Server(root / "catalog", "--keys", keyfile, "--max-streams", "1")
    s.keys, s.keyfile = keys, keyfile
    yield s
    assert s.stop() == 0, "".join(s.stderr)


def basic(key, password=""):
    return {"Authorization": "Basic " + base64.b64encode(f"{key}:{password}".encode()).decode()}


def bearer(key):
    return {"Authorization": f"Bearer {key}"}


NEEDED = ("an API key is needed: send it as the user name of HTTP Basic authentication (empty "
          "password) or as a Bearer token")
REFUSED = [
    ("no header", {}, NEEDED),
    ("an empty user name", basic(""), NEEDED),
    ("not base64", {"Authorization": "Basic %%%"}, NEEDED),
    ("another scheme", {"Authorization": "Digest abc"}, NEEDED),
    ("a key of another form", bearer("secret"), "unknown API key"),
    ("an unknown id", bearer("orx_00000000_" + "A" * 43), "unknown API key"),
]


@pytest.mark.parametrize("what, headers, detail", REFUSED, ids=[r[0] for r in REFUSED])
@pytest.mark.parametrize("path", ["", "metadata.list_datasets",
                                  "metadata.list_schemas?dataset=Futures"])
def test_missing_or_unknown_keys_get_401(keyed, what, headers, detail, path):
    r = httpx.get(f"{keyed.url}/v0/{path}", headers=headers)
    assert (r.status_code, r.json()) == (401, {"detail": detail})
    assert r.headers["www-authenticate"] == 'Basic realm="orx"'


def test_a_wrong_secret_for_a_known_id_is_refused(keyed):
    kid = keyed.keys["alice"].split("_")[1]
    r = httpx.get(keyed.url + "/v0/", headers=bearer(f"orx_{kid}_" + "B" * 43))
    assert (r.status_code, r.json()) == (401, {"detail": "unknown API key"})


@pytest.mark.parametrize("how", [basic, bearer])
def test_keys_see_the_datasets_they_may_read(keyed, how):
    got = {n: httpx.get(keyed.url + "/v0/metadata.list_datasets", headers=how(k)).json()
           for n, k in keyed.keys.items() if n != "gone"}
    assert got == {"alice": ["Futures"], "bob": ["Futures", "Equities"]}


EQUITIES = params(["AAPL"], DAY0, DAY0 + 4 * NS_DAY)
EQUITIES.dataset = orx.Dataset.EQUITIES


@pytest.mark.parametrize("method, path, body", [
    ("GET", "metadata.list_schemas?dataset=Equities", None),
    ("GET", "metadata.get_dataset_range?dataset=equities", None),
    ("GET", "metadata.list_symbols?dataset=Equities&schema=mbp-1", None),
    ("POST", "metadata.get_record_count", EQUITIES.to_json()),
    ("POST", "metadata.get_billable_size", EQUITIES.to_json()),
    ("POST", "symbology.resolve", EQUITIES.to_json()),
    ("POST", "timeseries.get_range", EQUITIES.to_json()),
])
def test_a_dataset_the_key_may_not_read_gets_403(keyed, method, path, body):
    alice, bob = basic(keyed.keys["alice"]), basic(keyed.keys["bob"])
    r = httpx.request(method, f"{keyed.url}/v0/{path}", headers=alice, content=body)
    assert (r.status_code, r.json()) == (403, {"detail": "key 'alice' may not read dataset "
                                                         "Equities"})
    assert httpx.request(method, f"{keyed.url}/v0/{path}", headers=bob,
                         content=body).status_code == 200


def test_the_client_sends_its_key_from_the_argument_or_the_environment(keyed, monkeypatch):
    with orx.Client(keyed.url, keyed.keys["alice"]) as c:
        assert c.metadata.list_datasets() == [orx.Dataset.FUTURES]
    monkeypatch.setenv("ORX_URL", keyed.url)
    monkeypatch.setenv("ORX_API_KEY", keyed.keys["bob"])
    with orx.Client() as c:
        assert c.metadata.list_datasets() == [orx.Dataset.FUTURES, orx.Dataset.EQUITIES]
        assert len(c.timeseries.get_range(EQUITIES).to_numpy()) == 3
    monkeypatch.delenv("ORX_API_KEY")
    with orx.Client() as c, pytest.raises(orx.ClientError) as info:
        c.metadata.list_datasets()
    assert (info.value.status, info.value.detail) == (401, NEEDED)
    with orx.Client(keyed.url, keyed.keys["alice"]) as c, pytest.raises(orx.ClientError) as info:
        c.timeseries.get_range(EQUITIES)
    assert (info.value.status, info.value.detail) == (403, "key 'alice' may not read dataset "
                                                           "Equities")


def test_streams_are_counted_per_key(keyed):
    from test_serve import BIG_DAY, SMALL, held_stream

    with held_stream(keyed.url, BIG_DAY, basic(keyed.keys["alice"])):
        alice = httpx.post(keyed.url + "/v0/timeseries.get_range",
                           headers=basic(keyed.keys["alice"]), content=SMALL.to_json())
        bob = httpx.post(keyed.url + "/v0/timeseries.get_range",
                         headers=basic(keyed.keys["bob"]), content=SMALL.to_json())
    assert (alice.status_code, alice.json()["detail"]) == (
        429, "key 'alice' has 1 stream in flight, as many as it may have; retry when one is "
             "done")
    assert bob.status_code == 200


def test_a_removed_key_is_refused_without_a_restart(keyed):
    key = keyed.keys["gone"]
    assert httpx.get(keyed.url + "/v0/", headers=bearer(key)).status_code == 200
    r = orx_cli("keys", "remove", keyed.keyfile, "gone")
    assert r.returncode == 0, r.stderr
    r = httpx.get(keyed.url + "/v0/", headers=bearer(key))
    assert (r.status_code, r.json()) == (401, {"detail": "unknown API key"})
    assert httpx.get(keyed.url + "/v0/", headers=bearer(keyed.keys["bob"])).status_code == 200


def test_serving_beyond_loopback_needs_a_key_file_that_exists(tmp_path):
    make_catalog(tmp_path / "catalog")
    r = orx_cli("serve", tmp_path / "catalog", "--host", "0.0.0.0", "--keys",
                tmp_path / "none.json")
    assert (r.returncode, r.stdout) == (1, "")
    assert r.stderr == (f"orx: error: [Errno 2] No such file or directory: "
                        f"'{tmp_path / 'none.json'}'\n")


def test_a_vanished_key_file_refuses_every_key_until_it_is_back(keyed):
    bob = bearer(keyed.keys["bob"])
    saved = keyed.keyfile.read_bytes()
    os.unlink(keyed.keyfile)
    try:
        r = httpx.get(keyed.url + "/v0/", headers=bob)
        assert (r.status_code, r.json()) == (401, {"detail": "unknown API key"})
    finally:
        keyed.keyfile.write_bytes(saved)
    assert httpx.get(keyed.url + "/v0/", headers=bob).status_code == 200
