"""packaging/deps.py, which fetches and builds the pinned crypto libraries: the checks that refuse
sources other than the pinned ones, and the readers of apt's and automake's files it relies on.
Nothing here reaches the network."""
import importlib.util
import json
import os
import pathlib
import textwrap

import pytest

pytest.importorskip("tomllib", reason="packaging/deps.py reads pins.toml with tomllib (CPython 3.11+)")

PACKAGING = pathlib.Path(__file__).resolve().parents[2] / "packaging"
_spec = importlib.util.spec_from_file_location("deps", PACKAGING / "deps.py")
deps = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(deps)

FILES = {"p_1.0-1.dsc": b"dsc text", "p_1.0.orig.tar.gz": b"upstream", "p_1.0-1.debian.tar.xz": b"patches"}


def pinned_download(tmp_path, files=FILES):
    folder = tmp_path / "download"
    folder.mkdir()
    for name, data in files.items():
        (folder / name).write_bytes(data)
    return folder, {name: deps.sha256(folder / name) for name in files}


class TestDownloadCheck:
    def test_accepts_exactly_the_pinned_files(self, tmp_path):
        folder, pinned = pinned_download(tmp_path)
        deps.check_files(folder, pinned)

    def test_refuses_a_file_whose_hash_differs_and_sets_it_aside(self, tmp_path):
        folder, pinned = pinned_download(tmp_path)
        (folder / "p_1.0.orig.tar.gz").write_bytes(b"upstream, altered")
        with pytest.raises(SystemExit, match=r"p_1\.0\.orig\.tar\.gz: SHA-256 [0-9a-f]{64} is not the pinned"):
            deps.check_files(folder, pinned)
        assert not (folder / "p_1.0.orig.tar.gz").exists()
        assert (folder / "p_1.0.orig.tar.gz.rejected").read_bytes() == b"upstream, altered"
        # The next run sees the file as missing, so it is fetched again rather than trusted.
        with pytest.raises(SystemExit, match=r"missing \['p_1\.0\.orig\.tar\.gz'\]"):
            deps.check_files(folder, pinned)

    def test_refuses_missing_and_unpinned_files(self, tmp_path):
        folder, pinned = pinned_download(tmp_path)
        (folder / "p_1.0-1.debian.tar.xz").unlink()
        (folder / "p_1.0.orig.tar.gz.asc").write_bytes(b"signature")
        with pytest.raises(SystemExit, match=r"missing \['p_1\.0-1\.debian\.tar\.xz'\], not pinned \['p_1\.0\.orig\.tar\.gz\.asc'\]"):
            deps.check_files(folder, pinned)


class TestPins:
    def test_the_pin_file_names_every_source_file_with_a_digest(self):
        pins = deps.load_pins()
        assert set(pins["packages"]) == {"openssl", "libsodium"}
        assert pins["suites"] == ["trixie", "trixie-security"]
        for package, pin in pins["packages"].items():
            names = list(pin["sha256"])
            upstream = deps.upstream_version(pin["version"])
            assert f"{package}_{pin['version']}.dsc" in names
            assert f"{package}_{upstream}.orig.tar.gz" in names
            assert f"{package}_{pin['version']}.debian.tar.xz" in names

    def test_openssl_is_the_3_5_long_term_series(self):
        assert deps.upstream_version(deps.load_pins()["packages"]["openssl"]["version"]).startswith("3.5.")

    def test_refuses_a_pin_without_dsc_or_with_a_bad_digest(self, tmp_path):
        path = tmp_path / "pins.toml"
        path.write_text('suites = ["trixie"]\n[packages]\np = { version = "1-1", sha256 = { "p_1.orig.tar.gz" = "' + "0" * 64 + '" } }\n')
        with pytest.raises(SystemExit, match="p pins no .dsc file"):
            deps.load_pins(path)
        path.write_text('suites = ["trixie"]\n[packages]\np = { version = "1-1", sha256 = { "p_1-1.dsc" = "abc" } }\n')
        with pytest.raises(SystemExit, match="p_1-1.dsc has no SHA-256 hex digest"):
            deps.load_pins(path)

    def test_the_printed_line_for_a_bump_is_one_line_of_the_pin_file(self, tmp_path):
        files = {"p_2.0-1.dsc": "a" * 64, "p_2.0.orig.tar.gz": "b" * 64}
        line = deps.pin_line("p", "2.0-1", files)
        assert "\n" not in line
        path = tmp_path / "pins.toml"
        path.write_text('suites = ["trixie"]\n[packages]\n' + line + "\n")
        assert deps.load_pins(path)["packages"]["p"] == {"version": "2.0-1", "sha256": files}

    @pytest.mark.parametrize("debian, upstream", [
        ("3.5.7-1~deb13u2", "3.5.7"), ("1.0.18-1+deb13u1", "1.0.18"), ("0~20190702+dfsg-4", "20190702"),
        ("1:2.3-1", "2.3"),
    ])
    def test_upstream_version(self, debian, upstream):
        assert deps.upstream_version(debian) == upstream


class TestAptFiles:
    def test_mirrors_come_from_one_line_and_deb822_sources(self, tmp_path, monkeypatch):
        monkeypatch.delenv("VELTRANO_DEBIAN_MIRROR", raising=False)
        monkeypatch.delenv("VELTRANO_DEBIAN_SECURITY_MIRROR", raising=False)
        (tmp_path / "sources.list.d").mkdir()
        (tmp_path / "sources.list").write_text("# deb http://old.example/debian bookworm main\n"
                                               "deb [arch=amd64] http://mirror.example/debian/ bookworm main\n")
        (tmp_path / "sources.list.d" / "debian.sources").write_text(textwrap.dedent("""\
            Types: deb
            URIs: http://disabled.example/debian-security
            Suites: bookworm-security
            Enabled: no

            Types: deb
            # a comment inside the stanza
            URIs: http://security.example/debian-security
            Suites: bookworm-security
            Components: main
            """))
        (tmp_path / "sources.list.d" / "other.list.disabled").write_text("deb http://ignored.example/x y main\n")
        entries = deps.system_sources(tmp_path)
        assert deps.mirrors(entries) == ("http://mirror.example/debian", "http://security.example/debian-security")
        monkeypatch.setenv("VELTRANO_DEBIAN_MIRROR", "http://local.example/debian")
        assert deps.mirrors(entries)[0] == "http://local.example/debian"
        with pytest.raises(SystemExit, match="VELTRANO_DEBIAN_SECURITY_MIRROR"):
            deps.mirrors([("http://mirror.example/debian", "bookworm")])

    def test_source_stanzas_give_each_version_its_files(self):
        text = textwrap.dedent("""\
            Package: p
            Version: 1.0-1
            Checksums-Sha256:
             aaaa 10 p_1.0-1.dsc
             bbbb 20 p_1.0.orig.tar.gz
            Homepage: https://example

            Package: p-other
            Version: 9-1
            Checksums-Sha256:
             cccc 5 p-other_9-1.dsc

            Package: p
            Version: 1.1-1
            Checksums-Sha256:
             dddd 10 p_1.1-1.dsc
            """)
        assert deps.parse_sources_stanzas(text, "p") == {
            "1.0-1": {"p_1.0-1.dsc": "aaaa", "p_1.0.orig.tar.gz": "bbbb"},
            "1.1-1": {"p_1.1-1.dsc": "dddd"},
        }


def test_automake_sources_follow_the_conditions():
    text = textwrap.dedent("""\
        liba_la_SOURCES = \\
        \tone.c \\
        \tone.h
        if HAVE_X
        liba_la_SOURCES += x.c
        else
        liba_la_SOURCES += no_x.c
        endif
        if !HAVE_Y
        liba_la_SOURCES += no_y.S
        if HAVE_X
        libb_la_SOURCES = nested.c
        endif
        endif
        libb_la_CPPFLAGS = -mavx2
        """)
    assert deps.automake_sources(text, {"HAVE_X": True}) == {
        "liba_la": ["one.c", "x.c", "no_y.S"], "libb_la": ["nested.c"]}
    assert deps.automake_sources(text, {"HAVE_Y": True}) == {"liba_la": ["one.c", "no_x.c"]}


def test_the_link_folder_changes_only_when_a_library_does(tmp_path):
    prefixes = []
    for name in ("openssl-3.5.7-t-aaaa", "libsodium-1.0.18-t-bbbb"):
        prefix = tmp_path / "built" / name
        (prefix / "include").mkdir(parents=True)
        (prefix / "lib").mkdir()
        (prefix / "include" / f"{name}.h").write_text("")
        (prefix / "lib" / f"{name}.a").write_text("")
        prefixes.append(prefix)
    link = tmp_path / "deps"
    deps.link_prefixes(prefixes, link)
    assert os.readlink(link / "lib" / "openssl-3.5.7-t-aaaa.a") == str(prefixes[0] / "lib" / "openssl-3.5.7-t-aaaa.a")
    assert json.loads((link / "versions.json").read_text()) == {
        "openssl": "openssl-3.5.7-t-aaaa", "libsodium": "libsodium-1.0.18-t-bbbb"}
    os.utime(link / "versions.json", (1, 1))
    deps.link_prefixes(prefixes, link)
    assert (link / "versions.json").stat().st_mtime == 1
    deps.link_prefixes(prefixes[:1], link)
    assert not (link / "lib" / "libsodium-1.0.18-t-bbbb.a").exists()
    assert (link / "versions.json").stat().st_mtime != 1
