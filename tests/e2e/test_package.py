"""The installed program: the manual page and the bash completion against the
commands, options and environment variables the program has, and the Debian
package: a working binary with its files, passing lintian."""
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
OPTION = r"(?<![\w-])--[a-z][a-z-]*"


def _vocabulary():
    """Command words and options as the program states them: `tovik help`,
    the rows of its command table, and each command's --help."""
    summary = run(["help"]).stdout
    words = set(re.findall(r"^tovik ([a-z][a-z-]*)", summary, re.M))
    for listing in re.findall(r"(?<![\w/.])[a-z]+(?:/[a-z]+)+(?![\w/.])", summary):
        words.update(listing.split("/"))
    table = open(os.path.join(ROOT, "src", "cli", "command_table.cc")).read()
    words.update(re.findall(r'CommandRow\{\s*"([a-z-]+)"', table))
    options = set(re.findall(OPTION, summary)) | {"--help", "--version", "-h"}
    for word in words:
        res = run([word, "--help"])
        assert res.returncode == 0, word
        options.update(re.findall(OPTION, res.stdout))
    return words, options


def _complete(cwd, *words):
    script = 'source "$1"; shift; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); _tovik; ' \
             'printf "%s\\n" "${COMPREPLY[@]}"'
    res = subprocess.run(["bash", "-c", script, "bash", COMPLETION, TOVIK, *words], cwd=cwd,
                         capture_output=True, text=True, check=True)
    return sorted(filter(None, res.stdout.splitlines()))


def test_manual_page_and_completion_cover_the_program(tmp_path):
    res = subprocess.run(["man", "--warnings", "-l", MAN_PAGE], capture_output=True, text=True,
                         env={**os.environ, "LANG": "C.UTF-8", "MANWIDTH": "120"})
    assert res.returncode == 0 and res.stderr == ""
    text = re.sub("\u2010\n\\s*", "", res.stdout)  # words hyphenated at a line end
    sources = "".join(open(p).read() for p in glob.glob(os.path.join(ROOT, "src/*/*.cc")))
    variables = set(re.findall(r'(?:getenv|env_text)\("([A-Z_]+)"\)', sources))
    assert {"TOVIK_DATA_DIR", "TOVIK_PASSWORD"} <= variables
    words, options = _vocabulary()
    missing = [w for w in words if not re.search(rf"^\s*tovik {w}\b", text, re.M)]
    missing += [x for x in options | variables if not re.search(rf"(?<![\w-]){x}\b", text)]
    assert not missing, "not in the manual page: " + ", ".join(sorted(missing))
    assert words <= set(_complete(tmp_path, ""))


@pytest.mark.parametrize("words, expected", [
    (("i",), ["import", "init"]),
    (("export", "shop.tovik", "people", "--"), ["--help", "--id-field", "--warren"]),
    (("serve", "--bind", ""), []),
    (("get", "sh"), ["shop.tovik"]),
    (("get", "shop.tovik", ""), []),  # a den name: nothing to offer
    (("import", "shop.tovik", "people", "--mode", "put", "pe"), ["people.jsonl"]),
])
def test_completion_offers_commands_options_and_files(tmp_path, words, expected):
    (tmp_path / "shop.tovik").touch()
    (tmp_path / "people.jsonl").touch()
    assert _complete(tmp_path, *words) == expected


def test_debian_package_holds_a_working_tool_and_passes_lintian(tmp_path):
    # cpack packages the build tree of the binary under test.
    build = os.path.dirname(os.path.dirname(os.path.dirname(os.path.realpath(TOVIK))))
    res = subprocess.run(["cpack", "-G", "DEB", "--config", f"{build}/CPackConfig.cmake",
                          "-B", str(tmp_path)], capture_output=True, text=True, timeout=300)
    assert res.returncode == 0, res.stdout + res.stderr
    version = run(["version"]).stdout.split()[1]
    [package] = glob.glob(str(tmp_path / f"tovik_{version}_*.deb"))
    depends = subprocess.run(["dpkg-deb", "-f", package, "Depends"], capture_output=True,
                             text=True, check=True).stdout
    assert "libc6" in depends
    subprocess.run(["dpkg-deb", "-x", package, str(tmp_path / "root")], check=True)
    usr = tmp_path / "root" / "usr"
    for name in ["share/bash-completion/completions/tovik", "lib/systemd/system/tovik@.service",
                 "share/doc/tovik/copyright", "share/doc/tovik/changelog.gz"]:
        assert (usr / name).is_file(), name
    manual = gzip.decompress((usr / "share/man/man1/tovik.1.gz").read_bytes())
    assert manual == open(MAN_PAGE, "rb").read()
    db = str(tmp_path / "t.tovik")
    for args, out in [(["version"], run(["version"]).stdout), (["init", db], '{"ok":true}\n'),
                      (["put", db, "d", "a1", '{"n":1}'], '{"ok":true}\n'),
                      (["get", db, "d", "a1"], '{"id":"a1","n":1}\n')]:
        res = subprocess.run([str(usr / "bin/tovik"), *args], env=clean_env(tmp_path),
                             capture_output=True, text=True)
        assert (res.returncode, res.stdout) == (0, out), res.stderr

    res = subprocess.run(["lintian", "--allow-root", package], capture_output=True, text=True,
                         timeout=300)
    errors = [line for line in res.stdout.splitlines() if line.startswith("E:")]
    assert not errors and "E:" not in res.stderr, res.stdout + res.stderr
