"""The times users see are the stamps' differences to the nanosecond, and the player's seeks land on them."""

from urllib.parse import quote

import pytest

from helpers import request, serving
from mirvane.data import Data


@pytest.mark.parametrize("answer", ["events --format json", "events.json", "series.json", "status.json"])
def test_times_are_exact_and_a_seek_to_an_event_shows_its_product(faulty, answer):
    where, events = faulty
    products = Data.fromFile(where / "faulty.rec").records()[0].products
    exact = {p.timestamp_ns: (p.timestamp_ns - products[0].timestamp_ns) / 1e9 for p in products}
    if answer == "events --format json":
        assert [e["time"] for e in events] == [exact[e["stamp_ns"]] for e in events]
        return
    with serving(where, "--serve", "0", "--paused", name="faulty") as (_, (url,)):
        if answer == "events.json":
            listed = request(url, answer)[1]["events"]
            assert [e["time"] for e in listed] == [exact[e["stamp_ns"]] for e in events]
        elif answer == "series.json":
            path = request(url, answer)[1]["defaults"][0]
            assert set(request(url, f"{answer}?path={quote(path)}")[1]["t"]) <= set(exact.values())
        else:
            for event in events:
                landed = request(url, "control", {"action": "seek", "time": event["time"]})[1]
                assert (landed["time"], landed["product"]) == (exact[event["stamp_ns"]], event["product"])
                assert events[landed["event"] - 1]["time"] == event["time"]
                # The event before, on the same axis: not this one again, none skipped.
                back = request(url, "control", {"action": "event", "step": -1})[1]
                assert back["time"] == max((e["time"] for e in events if e["time"] < event["time"]),
                                           default=event["time"])
