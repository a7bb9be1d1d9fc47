"""The README's main job runs end to end and leaves nothing behind."""
import os
import subprocess

from conftest import TOVIK, clean_env

ROOT = os.path.join(os.path.dirname(__file__), "..", "..")


def tovik_processes():
    out = subprocess.run(["pgrep", "-f", "tovik-demo"], capture_output=True, text=True).stdout
    return {pid for pid in out.split() if int(pid) != os.getpid()}


def test_demo_runs_the_main_job_and_cleans_up(tmp_path):
    work = tmp_path / "tmp"
    work.mkdir()
    before = tovik_processes()
    env = clean_env(tmp_path, TMPDIR=str(work), TOVIK_DEMO_SKIP_BUILD="1",
                    TOVIK_BIN=os.path.abspath(TOVIK), TOVIK_PASSWORD="demo password 123")
    res = subprocess.run(["bash", os.path.join(ROOT, "scripts", "demo.sh")], env=env,
                         capture_output=True, text=True, timeout=120)
    assert res.returncode == 0, res.stdout + res.stderr
    out = res.stdout
    # Each stage of the job shows what happened.
    for expected in [
        "Tovik 0.1.0 (storage v1, protocol v1)",
        '{"ok":true}',
        "Local administrator configured.",
        "Tovik listening on 127.0.0.1:",
        '> create warren shop\n  {"version":1,"ok":true,"data":{"created":"shop"},"error":null}',
        '"next_after":"a2"',
        '> check\n  {"version":1,"ok":true,"data":{"valid":true},"error":null}',
        "Tovik stopped.",
        '{"allocated_bytes":33554432,"generation":7,"live_bytes":236,"records":5}',
    ]:
        assert expected in out
    # The password never reaches the output.
    assert "demo password 123" not in out + res.stderr
    # The throwaway directory is gone, nothing was written elsewhere, and no
    # server is left running.
    assert list(work.iterdir()) == []
    assert not (tmp_path / "home").exists()
    assert tovik_processes() <= before
