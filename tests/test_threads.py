"""Large decodes and encodes run without the interpreter lock: concurrent use gives the same results as
serial use, and a table's writers wait for its encoders instead of failing."""

import threading
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
