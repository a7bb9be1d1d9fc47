"""The installed program: the manual page covers every command, option and
environment variable the program has; the bash completion offers them; the
Debian package holds a working binary with its files and passes lintian."""
import glob
import gzip
import os
import re
import subprocess

import pytest

from conftest import TOVIK, clean_env, run

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
MAN_PAGE = os.path.join(ROOT, "docs", "tovik.1")
COMPLETION = os.path.join(ROOT, "packaging", "tovik.bash-completion")


@pytest.fixture(scope="module")
def vocabulary():
    """Command words and options as the program states them: `tovik help`,
    the rows of its command table, and each command's --help."""
    summary = run(["help"]).stdout
    words = set(re.findall(r"^tovik ([a-z][a-z-]*)", summary, re.M))
    for listing in re.findall(r"(?<![\w/.])[a-z]+(?:/[a-z]+)+(?![\w/.])", summary):
        words.update(listing.split("/"))
    table = open(os.path.join(ROOT, "src", "cli", "command_table.cc")).read()
    words.update(re.findall(r'CommandRow\{\s*"([a-z-]+)"', table))
    options = {"--help", "--version", "-h"}
    for word in words:
        res = run([word, "--help"])
        assert res.returncode == 0, word
        options.update(re.findall(r"(?<![\w-])--[a-z][a-z-]*", res.stdout))
    options.update(re.findall(r"(?<![\w-])--[a-z][a-z-]*", summary))
    return words, options


def test_manual_page_is_clean_and_covers_the_program(vocabulary):
    words, options = vocabulary
    env = {**os.environ, "LANG": "C.UTF-8", "MANWIDTH": "120"}
    res = subprocess.run(["man", "--warnings", "-l", MAN_PAGE], env=env, capture_output=True,
                         text=True, timeout=60)
    assert res.returncode == 0 and res.stderr == ""
    text = re.sub("\u2010\n\\s*", "", res.stdout)  # words hyphenated at a line end
    missing = [w for w in sorted(words) if not re.search(rf"^\s*tovik {w}\b", text, re.M)]
    missing += [o for o in sorted(options) if not re.search(rf"(?<![\w-]){o}(?![\w-])", text)]
    sources = "".join(open(p).read() for p in glob.glob(os.path.join(ROOT, "src", "*", "*.cc")))
    variables = set(re.findall(r'(?:getenv|env_text)\("([A-Z_]+)"\)', sources))
    assert {"TOVIK_DATA_DIR", "TOVIK_PASSWORD"} <= variables
    missing += [v for v in sorted(variables) if v not in text]
    assert not missing, "not in the manual page: " + ", ".join(missing)


def _complete(cwd, *words):
    script = ('source "$1"; shift; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); _tovik; '
              'printf "%s\\n" "${COMPREPLY[@]}"')
    res = subprocess.run(["bash", "-c", script, "bash", COMPLETION, TOVIK, *words], cwd=cwd,
                         capture_output=True, text=True, timeout=60)
    assert res.returncode == 0, res.stderr
    return sorted(line for line in res.stdout.splitlines() if line)


@pytest.mark.parametrize("words, expected", [
    (("i",), ["import", "init"]),
    (("serve", "--max-c"), ["--max-clients"]),
    (("export", "shop.tovik", "people", "--"), ["--help", "--id-field"]),
    (("serve", "--bind", ""), []),
    (("get", "sh"), ["shop.tovik"]),
    (("get", "shop.tovik", ""), []),  # a den name: nothing to offer
    (("import", "shop.tovik", "people", "--mode", "put", "pe"), ["people.jsonl"]),
    (("import", "shop.tovik", "--all", "p"), ["people.jsonl"]),
])
def test_completion_offers_commands_options_and_files(tmp_path, words, expected):
    (tmp_path / "shop.tovik").touch()
    (tmp_path / "people.jsonl").touch()
    assert _complete(tmp_path, *words) == expected


def test_completion_knows_every_command(tmp_path, vocabulary):
    assert vocabulary[0] <= set(_complete(tmp_path, ""))


@pytest.fixture(scope="module")
def package(tmp_path_factory):
    """The .deb built by cpack from the build tree of the binary under test."""
    build = os.path.dirname(os.path.dirname(os.path.dirname(os.path.realpath(TOVIK))))
    out = tmp_path_factory.mktemp("package")
    res = subprocess.run(["cpack", "-G", "DEB", "--config",
                          os.path.join(build, "CPackConfig.cmake"), "-B", str(out)],
                         capture_output=True, text=True, timeout=300)
    assert res.returncode == 0, res.stdout + res.stderr
    version = run(["version"]).stdout.split()[1]
    debs = glob.glob(str(out / f"tovik_{version}_*.deb"))
    assert len(debs) == 1, os.listdir(out)
    return debs[0]


def test_package_holds_a_working_tool_and_its_files(package, tmp_path):
    fields = subprocess.run(["dpkg-deb", "-f", package, "Depends"], capture_output=True,
                            text=True, check=True).stdout
    assert "libc6" in fields
    root = tmp_path / "root"
    subprocess.run(["dpkg-deb", "-x", package, str(root)], check=True)
    usr = root / "usr"
    for name in ["share/bash-completion/completions/tovik", "lib/systemd/system/tovik@.service",
                 "share/doc/tovik/copyright", "share/doc/tovik/changelog.gz"]:
        assert (usr / name).is_file(), name
    manual = gzip.decompress((usr / "share/man/man1/tovik.1.gz").read_bytes())
    assert manual == open(MAN_PAGE, "rb").read()

    tovik = str(usr / "bin" / "tovik")
    env = clean_env(tmp_path)
    db = str(tmp_path / "t.tovik")
    assert subprocess.run([tovik, "version"], capture_output=True, text=True).stdout == \
        run(["version"]).stdout
    for args, out in [(["init", db], '{"ok":true}\n'),
                      (["put", db, "d", "a1", '{"n":1}'], '{"ok":true}\n'),
                      (["get", db, "d", "a1"], '{"id":"a1","n":1}\n')]:
        res = subprocess.run([tovik, *args], env=env, capture_output=True, text=True)
        assert (res.returncode, res.stdout) == (0, out), res.stderr


def test_lintian_finds_no_errors(package):
    res = subprocess.run(["lintian", "--allow-root", package], capture_output=True, text=True,
                         timeout=300)
    errors = [line for line in res.stdout.splitlines() if line.startswith("E:")]
    assert not errors and "E:" not in res.stderr, res.stdout + res.stderr
