"""Large decodes and encodes run without the interpreter lock: concurrent use gives the same results as
serial use. One table shared by threads: readers work on snapshots and are never refused, writers take
turns, and every reader sees the rows of some moment of the writer's work."""

import copy
import json
import threading
import time
from concurrent.futures import ThreadPoolExecutor

from veltrac import HcyMessage, InfoTable

from test_primitive import table

ROWS = 3000  # large enough for the work to run without the lock


def big_table():
    t = table(("sensor", "STRING"), ("value", "NUMBER"), ("at", "DATETIME"))
    t.add_rows({"sensor": f"s-{i}", "value": i / 7, "at": i} for i in range(ROWS))
    return t


def run_threads(*targets):
    """Runs each target on its own thread; fails with what any of them raised."""
    with ThreadPoolExecutor(len(targets)) as pool:
        for future in [pool.submit(t) for t in targets]:
            future.result()


def test_concurrent_decoding_and_encoding_give_the_serial_results():
    table = big_table()
    response = HcyMessage.build_response("HCY_SUCCESS", 7, params=table).to_bytes()
    expected = (table.to_json(), table.to_simple_json(), table.to_bytes())

    def work():
        for _ in range(10):
            assert HcyMessage.from_bytes(response).to_bytes() == response
            assert HcyMessage.from_buffer(response)[0].get_params().to_bytes() == expected[2]
            assert (table.to_json(), table.to_simple_json(), table.to_bytes()) == expected

    run_threads(work, work, work, work)


def test_add_row_racing_encoders_waits_and_never_tears():
    table = big_table()
    done = threading.Event()

    def writer():
        try:
            for i in range(ROWS, ROWS + 300):
                table.add_row({"sensor": f"s-{i}", "value": i / 7, "at": i})
                if i % 50 == 0:
                    table.add_field_definition("at", "DATETIME", "redefined in place")
        finally:
            done.set()

    def reader():
        while not done.is_set():
            decoded = InfoTable.from_bytes(table.to_bytes())
            n = decoded.get_row_count()
            assert ROWS <= n <= ROWS + 300
            # Every row the encoder saw is whole: its last row is the one added last before it ran.
            assert decoded.get_row(n - 1) == {"sensor": f"s-{n - 1}", "value": (n - 1) / 7, "at": n - 1}

    run_threads(writer, reader, reader)
    assert table.get_row_count() == ROWS + 300


def row(i):
    return {"sensor": f"s-{i}", "value": i / 7, "at": i}


SECONDS = 2.0
MOST = ROWS + 40_000  # the writer stops here if time has not run out before


def test_one_writer_and_readers_on_one_table_never_refused_and_see_prefixes():
    reference = big_table()
    reference.add_rows(row(i) for i in range(ROWS, MOST))
    expected_rows = reference.get_rows()
    expected_simple = json.loads(reference.to_simple_json())["rows"]
    t = big_table()
    stop = time.monotonic() + SECONDS
    done = threading.Event()

    def writer():
        try:
            i = ROWS
            while i < MOST and time.monotonic() < stop:
                if i % 3:
                    t.add_row(row(i))
                    i += 1
                else:
                    n = min(7, MOST - i)
                    t.add_rows(row(j) for j in range(i, i + n))  # a generator: Python code mid-change
                    i += n
        finally:
            done.set()

    readers = {
        "to_bytes": lambda: (InfoTable.from_bytes(t.to_bytes()).get_rows(), expected_rows),
        "to_simple_json": lambda: (json.loads(t.to_simple_json())["rows"], expected_simple),
        "get_rows": lambda: (t.get_rows(), expected_rows),
        "arrow": lambda: (InfoTable.from_arrow(t).get_rows(), expected_rows),
        "copy": lambda: (copy.copy(t).get_rows(), expected_rows),
    }
    seen = {name: 0 for name in readers}

    def reader(name):
        def run():
            while True:
                finished = done.is_set()
                got, expected = readers[name]()
                assert ROWS <= len(got) <= MOST and got == expected[: len(got)], name
                seen[name] += 1
                if finished:
                    return
        return run

    run_threads(writer, *map(reader, readers))
    assert all(seen.values()), seen
    assert t.get_rows() == expected_rows[: t.get_row_count()]


def test_a_writer_mid_change_holds_up_no_reader_and_queues_the_next_writer():
    t = table(("v", "INTEGER"))
    t.add_row({"v": 0})
    inside, go_on = threading.Event(), threading.Event()

    class Slow:
        def __index__(self):
            inside.set()
            go_on.wait(10)
            return 1

    first = threading.Thread(target=t.add_row, args=({"v": Slow()},))
    first.start()
    assert inside.wait(10)
    # The first writer runs Python code before its change: readers of other threads see the table before it.
    assert (t.get_rows(), InfoTable.from_bytes(t.to_bytes()).get_rows(), copy.copy(t).get_row_count()) == ([{"v": 0}],) * 2 + (1,)
    second = threading.Thread(target=t.add_row, args=({"v": 2},))
    second.start()
    second.join(0.2)
    assert second.is_alive() and t.get_row_count() == 1  # the second writer waits for its turn
    go_on.set()
    first.join(10)
    second.join(10)
    assert t.get_rows() == [{"v": 0}, {"v": 1}, {"v": 2}]
