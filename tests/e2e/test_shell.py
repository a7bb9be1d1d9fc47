"""The interactive shell against a real server: prompts, output texts,
failures on standard error, connection loss and reconnect, and the prompts
for user name and password on a terminal."""
import os

from conftest import PASSWORD, clean_env, run, start_server
from shell_util import RawClient, Session, shell_env, start_server_on


def shell(server, env, text, args=None):
    return run(args if args is not None else [server.address], env=shell_env(env), input=text)


def test_prompt_follows_navigation_and_each_output_text(server, env):
    lines = [
        "use shop", "create warren shop", "create den orders", "use orders",
        'put a1 {"qty": 2}', 'insert a2 {"qty": 3}', 'update a1 {"note": "x"}',
        "get a1", "get nope", "find qty=3", "find qty=99", "page 1", "show shinies",
        "delete a2", "stats", "check", "use ..", "show dens", "use /", "show warrens",
        "help", "quit",
    ]
    res = shell(server, env, "\n".join(lines) + "\n")
    assert res.returncode == 0, res.stderr
    assert res.stderr == ""
    help_lines = [
        "create warren <name> | create den <name> | drop-empty den <name> | drop-empty warren <name>",
        "Instance = service; warren = database; den = collection; shiny = document.",
        "create warren <name> | create den <name> | drop-empty warren <name> | drop-empty den <name>",
        "show warrens | use <warren>/<den> | use .. | use /<warren> | use / | show dens | show shinies",
        "insert <id> <json> | put <id> <json> | update <id> <fields> | get <id> | delete <id>",
        "find <field>=<value> | scan | page <limit> [JSON string cursor] | stats | check | "
        "reconnect | exit / quit",
        "backup <name> | usage | show server",
        "import <local path> | export <local path>",
        "query <filter JSON> [<fields JSON array>] | more | count <filter JSON>",
        "mode pretty | mode compact | mode table | timer on | timer off | show settings",
        "update-many <filter JSON> <update JSON> | delete-many <filter JSON> | "
        "distinct <path> [<filter JSON>]",
        "query <filter JSON> [<fields>] [sort <paths>] [skip <n>] [limit <n>] | "
        "drop den <name> | drop warren <name>",
        "watch [<filter JSON>] | changes <after> [<limit>] [skip <n>]",
    ]
    limit = "Limit: 100 names / 10,000 examined records."
    expected = (
        f"Connected to {server.address}. Type help for commands.\n"
        "tovik> Using warren: shop\n"
        "tovik:shop> Namespace ready: shop\n"
        "tovik:shop> Namespace ready: orders\n"
        "tovik:shop> Using den: orders\n"
        "tovik:shop/orders> Stored shiny: a1\n"
        "tovik:shop/orders> Inserted shiny: a2\n"
        "tovik:shop/orders> Updated shiny: a1\n"
        'tovik:shop/orders> {\n  "id": "a1",\n  "note": "x",\n  "qty": 2\n}\n'
        "tovik:shop/orders> Shiny not found.\n"
        'tovik:shop/orders> {\n  "id": "a2",\n  "qty": 3\n}\n'
        "tovik:shop/orders> No matching shinies.\n"
        'tovik:shop/orders> [\n  {\n    "id": "a1",\n    "note": "x",\n    "qty": 2\n  }\n]\n'
        'Next: page 1 "a1"\n'
        f"tovik:shop/orders> a1\na2\n{limit}\n"
        "tovik:shop/orders> Deleted shiny: a2\n"
    )
    assert res.stdout.startswith(expected), res.stdout
    rest = res.stdout[len(expected):]
    assert rest.startswith("tovik:shop/orders> Instance: ")
    assert " storage records, " in rest and " live bytes, generation " in rest
    rest = rest[rest.index("\n") + 1:]
    assert rest == (
        "tovik:shop/orders> Integrity check passed.\n"
        "tovik:shop/orders> Using warren: shop\n"
        f"tovik:shop> orders\n{limit}\n"
        "tovik:shop> At instance level.\n"
        f"tovik> shop\n{limit}\n"
        "tovik> " + "".join(line + "\n" for line in help_lines) +
        "tovik> Goodbye.\n")


def test_failures_print_only_the_message_and_the_shell_goes_on(server, env):
    lines = ["get a1", "show shinies", "get a 1", "put a1", "scan now", "page 0", "bogus",
             "use shop", "show shinies", "stats"]
    res = shell(server, env, "\n".join(lines) + "\n")
    assert res.returncode == 0
    assert res.stderr.splitlines() == [
        "select a collection with use <collection>",
        "select a warren first",
        "unknown command or invalid arguments; type help",
        "usage: put <id> <JSON object>",
        "unexpected command arguments",
        "usage: page <1-100> [JSON string cursor]",
        "unknown command or invalid arguments; type help",
        "select a den with use <name>",
    ]
    assert res.stdout.endswith("generation 1\ntovik:shop> ")  # nothing was written
    assert "Goodbye." not in res.stdout  # end of input says nothing more


def test_update_operators_change_paths_and_refusals_change_nothing(server, env):
    lines = ["use shop/orders", 'put a1 {"qty": 2, "tags": ["x"]}',
             'update a1 {"$inc": {"qty": 1}, "$addToSet": {"tags": "y"}, "$unset": {"no.pe": 1}}',
             'update a1 {"$inc": {"tags": 1}}', 'update a1 {"$set": {"qty": 1}, "tags": []}',
             "get a1"]
    res = shell(server, env, "\n".join(lines) + "\n")
    assert res.returncode == 0
    assert res.stderr.splitlines() == [
        "$inc needs a number at tags", "cannot mix operators and fields in update"]
    assert res.stdout.endswith(
        "tovik:shop/orders> Updated shiny: a1\n" + "tovik:shop/orders> " * 2 +
        'tovik:shop/orders> {\n  "id": "a1",\n  "qty": 3,\n  "tags": [\n    "x",\n    "y"\n'
        "  ]\n}\ntovik:shop/orders> "), res.stdout


def test_empty_listing_and_quit_with_lines_after_it(server, env):
    res = shell(server, env, "\n\nshow warrens\nexit\nstats\n")
    assert res.returncode == 0
    assert res.stdout.endswith(
        "tovik> tovik> tovik> No warrens yet.\nLimit: 100 names / 10,000 examined records.\n"
        "tovik> Goodbye.\n")
    assert "Instance:" not in res.stdout


def test_names_with_control_characters_are_escaped(server, env):
    # The shell cannot type such names; a raw client stores them.
    raw = RawClient(server.port)
    assert raw.send({"op": "use", "collection": "in\x1bbox"})["ok"]
    assert raw.send({"op": "put", "id": "x", "document": {}})["ok"]
    assert raw.send({"op": "use", "collection": "inbox"})["ok"]
    assert raw.send({"op": "put", "id": "line\nbreak", "document": {"t": "\u0085"}})["ok"]
    raw.close()
    res = shell(server, env, "use default\nshow dens\nuse inbox\nshow shinies\nscan\n")
    assert res.returncode == 0, res.stderr
    assert "tovik:default> in\\u{1b}box\ninbox\nLimit" in res.stdout
    assert "tovik:default/inbox> line\\nbreak\nLimit" in res.stdout
    assert '"id": "line\\nbreak",\n  "t": "\\u0085"\n}' in res.stdout
    assert "\x1b" not in res.stdout and "\x85" not in res.stdout
    # Bidirectional controls would let one name display as another.
    raw = RawClient(server.port)
    assert raw.send({"op": "use", "collection": "spoof"})["ok"]
    assert raw.send({"op": "put", "id": "\u202egpj.exe", "document": {"t": "\u2066"}})["ok"]
    raw.close()
    res = shell(server, env, "use default\nuse spoof\nshow shinies\nscan\n")
    assert "tovik:default/spoof> \\u{202e}gpj.exe\nLimit" in res.stdout
    assert '"id": "\\u202egpj.exe",\n  "t": "\\u2066"\n}' in res.stdout
    assert "\u202e" not in res.stdout and "\u2066" not in res.stdout


def test_documents_of_the_maximum_depth_come_back_through_every_read(provisioned_db, env):
    # Stored offline at the parser's limit; every response wraps it deeper.
    deep = "[" * 126 + "]" * 126
    res = run(["put", str(provisioned_db), "c", "deep", f'{{"k":{deep},"n":1}}'], env=env)
    assert res.returncode == 0, res.stderr
    srv = start_server(provisioned_db, env)
    try:
        reads = "use default\nuse c\nget deep\nscan\npage 10\nfind n=1\n"
        res = shell(srv, env, reads)
        assert res.returncode == 0 and res.stderr == "", res.stderr
        assert res.stdout.count('"n": 1') == 4
        res = run(["batch", srv.address], env=shell_env(env), input=reads)
        assert res.returncode == 0, res.stderr
        assert [line.count(f'"k":{deep}') for line in res.stdout.splitlines()] == [0, 0, 1, 1, 1, 1]
    finally:
        srv.stop()


def test_start_up_failures(server, env, tmp_path):
    cases = [
        ([f"tovik://admin:pw@{server.address}"], shell_env(env),
         "URI must contain username only, never a password"),
        (["127.0.0.1"], shell_env(env), "invalid socket address"),
        (["127.0.0.1:99999"], shell_env(env), "invalid port value"),
        (["10.0.0.5:7337"], shell_env(env),
         "direct remote authentication is disabled; use ssh -N -L 7337:127.0.0.1:7337 "
         "<ssh-user>@<host>, then tovik tovik://<db-user>@127.0.0.1:7337"),
        ([server.address], shell_env(env, TOVIK_PASSWORD="wrong password!"),
         "authentication failed (or server unavailable)"),
        ([server.address], {**env, "TOVIK_PASSWORD": PASSWORD}, "input closed"),
    ]
    for args, case_env, message in cases:
        res = run(args, env=case_env, input="")
        assert res.returncode == 1, args
        assert res.stderr == f"tovik: {message}\n", args
    # The address may come from TOVIK_ADDR, the user from the address.
    res = run([], env=shell_env(env, TOVIK_ADDR=f"tovik://admin@{server.address}",
                                TOVIK_USER="nobody"), input="stats\n")
    assert res.returncode == 0, res.stderr
    assert res.stdout.startswith(f"Connected to {server.address}.")


def test_empty_user_name_means_admin(server, env):
    res = run([server.address], env={**env, "TOVIK_PASSWORD": PASSWORD}, input="\nstats\n")
    assert res.returncode == 0, res.stderr
    assert res.stdout.startswith(f"Username [admin]: Connected to {server.address}.")


def test_input_line_limit(server, env):
    # 1,048,576 bytes plus the line feed is one byte too many.
    res = shell(server, env, "stats\n" + "x" * 1_048_576 + "\nstats\n")
    assert res.returncode == 1
    assert res.stderr == "tovik: input line exceeds 1 MiB\n"
    assert res.stdout.count("storage records") == 1
    res = shell(server, env, "x" * 1_048_575 + "\nstats\n")
    assert res.returncode == 0
    assert res.stderr == "unknown command or invalid arguments; type help\n"
    assert "storage records" in res.stdout


def test_connection_loss_and_reconnect(provisioned_db, env):
    from conftest import start_server
    srv = start_server(provisioned_db, env)
    session = Session([srv.address], shell_env(env))
    try:
        session.expect("tovik> ", "out")
        session.send("use shop\n")
        session.expect("tovik:shop> ", "out")
        srv.stop()
        session.send("stats\n")
        session.expect("tovik> ", "out")
        err = session.expect(
            ". The last operation may have completed. Type reconnect and check before "
            "retrying.\n", "err")
        assert err.startswith("Connection lost: ")
        session.send("stats\n")
        assert session.expect("\n", "err") == "Disconnected. Type reconnect or exit.\n"
        session.send("reconnect\n")
        err = session.expect("\n", "err")
        assert err.startswith(
            f"Reconnect failed: cannot connect to {srv.address}; start an instance with "
            "tovik serve <database>: "), err
        srv = start_server_on(provisioned_db, env, srv.port)
        session.send("reconnect\n")
        assert session.expect("\n", "out").endswith(f"tovik> Reconnected to {srv.address}.\n")
        session.send("stats\n")
        assert session.expect("\n", "out") .startswith("tovik> Instance: ")
        session.send("quit\n")
        status, rest = session.finish()
        assert status == 0
        assert rest["out"] == "tovik> Goodbye.\n"
        assert rest["err"] == ""
    finally:
        session.kill()
        srv.stop()


def test_terminal_prompts_for_user_and_password_without_echo(provisioned_db, env):
    from conftest import start_server
    srv = start_server(provisioned_db, env)
    session = Session([srv.address], env, use_pty=True)
    try:
        session.expect("Username [admin]: ")
        session.send("\n")
        session.expect("Password: ")
        session.send(PASSWORD + "\n")
        seen = session.expect("tovik> ")
        assert PASSWORD not in seen  # typed with echo off
        assert f"Connected to {srv.address}. Type help for commands." in seen
        session.send("stats\n")
        seen = session.expect("tovik> ")
        assert seen.startswith("stats\r\n"), seen  # echo is back on after the password
        assert "Instance: " in seen
        # The server goes away and comes back; at a terminal the next command
        # tries to reopen the connection by itself, and reconnect asks again.
        srv.stop()
        session.send("check\n")
        assert "Reconnect failed: cannot connect" in session.expect("tovik> ")
        srv = start_server_on(provisioned_db, env, srv.port)
        session.send("reconnect\n")
        session.expect("Password: ")
        session.send(PASSWORD + "\n")
        seen = session.expect("tovik> ")
        assert f"Reconnected to {srv.address}." in seen and PASSWORD not in seen
        session.send("quit\n")
        status, rest = session.finish()
        assert status == 0
        assert "Goodbye." in rest["tty"]
    finally:
        session.kill()
        srv.stop()
