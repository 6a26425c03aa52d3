#!/usr/bin/env python3
"""The soak's checker on made-up histories: a clean one passes, and each kind of violation, put
into it, is found as that kind alone. And the plan: the same seed makes the same choices."""
import copy
import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import check  # noqa: E402
import soak  # noqa: E402

H = check.HEADER


def relayed(lines):
    return H + "".join(line + "\r\n\r\n" for line in lines)


def request(id, nonce, typed, output, start, end, **more):
    r = {"id": id, "client": 0, "nonce": nonce, "typed": typed, "mode": "ok", "delay": "0.1", "method": "GET",
         "web": "web", "start": start, "end": end, "status": 0, "output": output}
    r.update(more)
    return r


def served(nonce, number, end_status="0", at=1001.5):
    events = [{"event": "start", "time": at, "number": str(number), "nonce": nonce, "mode": "ok"}]
    if end_status is not None:
        events.append({"event": "end", "time": at + 0.1, "number": str(number), "nonce": nonce, "status": end_status})
    return events


def clean_history():
    """Seven requests of every kind of ending, all as they should be."""
    return {
        "setup": {"where": "test", "build": "posix", "clients": 2, "seconds": 10, "seed": "1", "plan_digest": "x",
                  "web_servers": ["web"], "bound_seconds": 95, "t0": 1000.0, "replay": "soak.py --seed 1"},
        "requests": [
            request("c0#1", "n1", 0, relayed(check.answer_lines(5, "n1")), 1001, 1002),
            request("c1#1", "n2", 5, relayed(check.answer_lines(5, "n2")), 1003, 1004),
            request("c0#2", "n3", 0, check.TIMEOUT_PAGE, 1005, 1050),
            request("c1#2", "n4", 5, check.internal_error_page("3"), 1003.5, 1003.6),
            request("c0#3", "n5", 0, "", 1051, 1052, status=-9, killed_by="nemesis"),
            request("c1#3", "n6", 5, relayed(check.host_error_lines(5)), 1060, 1061),
            request("c0#4", "n7", 0, relayed(check.answer_lines(8, "n7")[:2]) + check.internal_error_page("6"),
                    1062, 1063),
        ],
        "served": served("n1", 5) + served("n2", 5) + served("n5", 7, None) + served("n7", 8),
        "kept": [{"file": "20261210T000000.000Z-6.DAT", "number": "6", "nonce": "n3"},
                 {"file": "20261210T000001.000Z-5.DAT", "number": "5", "nonce": "n6"}],
        "faults": [{"kind": "request killed", "start": 1051.5, "end": 1051.5, "detail": "c0#3"}],
        "host_log": [],
        "after": {"quiet_seconds": 3, "left": {"r:\\fromnt": [], "r:\\tont": [], "work/": []}, "counter": " 9 \r\n"},
    }


def by_id(history, id):
    return next(r for r in history["requests"] if r["id"] == id)


def set_page(id, output):
    return lambda h: by_id(h, id).update(output=output)


# Each case: a change to the clean history, and the kinds of violation it must show.
CASES = [
    ("a page with another request's answer", set_page("c1#1", relayed(check.answer_lines(5, "n1"))), ["crossed"]),
    ("a killed request that had shown another's nonce",
     set_page("c0#3", H + "<html><body>\r\n\r\n<p>number 5</p>\r\n\r\n<p>nonce n1</p>\r\n\r\n"), ["crossed"]),
    ("a typed number's page with another number", set_page("c1#1", relayed(check.answer_lines(6, "n2"))),
     ["crossed"]),
    ("the remote host's error page of a request not kept",
     lambda h: h["kept"].pop(), ["crossed"]),
    ("a new number handed out twice", lambda h: h["kept"][0].update(number="5"), ["doubled"]),
    ("one request served under two numbers", lambda h: h["served"].extend(served("n2", 6)), ["doubled"]),
    ("a nonce that no client sent", lambda h: h["served"].extend(served("n99", 3)), ["doubled"]),
    ("a page cut short", set_page("c0#1", relayed(check.answer_lines(5, "n1")[:3])), ["malformed"]),
    ("an answer cut with the wrong step", set_page(
        "c0#4", relayed(check.answer_lines(8, "n7")[:2]) + check.internal_error_page("5")), ["malformed"]),
    ("a page of step 0", set_page("c1#2", check.internal_error_page("0")), ["malformed"]),
    ("an exit status other than 0", lambda h: by_id(h, "c1#2").update(status=1), ["malformed"]),
    ("a request Wine did not run that the remote host saw",
     lambda h: by_id(h, "c0#3").update(killed_by=None, status=1, wine_failed=True), ["malformed"]),
    ("a request past its bound", lambda h: by_id(h, "c0#2").update(end=1005 + 96), ["late"]),
    ("a published request neither answered nor kept", lambda h: h["kept"].pop(0), ["lost"]),
    ("an answer whose command failed and that was not kept",
     lambda h: h["served"].__setitem__(slice(None), served("n1", 5, "3") + h["served"][2:]), ["lost"]),
    ("an answer left in r:\\tont", lambda h: h["after"]["left"].update({"r:\\tont": ["5.out"]}), ["left behind"]),
    ("a request left in work/", lambda h: h["after"]["left"].update({"work/": ["7.DAT"]}), ["left behind"]),
    ("a killed request's temporary file left", lambda h: (h["after"]["left"].update({"r:\\fromnt": ["t7.DAT"]}),
                                                          h["after"].update(owners={"r:\\fromnt t7.DAT": "n5"})),
     ["left behind"]),
    ("the counter not beyond a number handed out", lambda h: h["after"].update(counter=" 8 \r\n"), ["counter"]),
    ("the counter not as the program writes it", lambda h: h["after"].update(counter="9\r\n"), ["counter"]),
    ("the counter missing", lambda h: h["after"].update(counter=None), ["counter"]),
]


class CheckerTest(unittest.TestCase):
    def test_a_clean_history_passes(self):
        history = clean_history()
        self.assertEqual(check.check(history), [])
        self.assertIn("violations: 0", check.report(history, []))

    def test_each_violation_is_found_as_its_kind(self):
        for name, change, kinds in CASES:
            with self.subTest(name):
                history = clean_history()
                change(history)
                found = check.check(copy.deepcopy(history))
                self.assertEqual(sorted(v["kind"] for v in found), kinds, found)
                # The report shows it, with the history of its requests.
                self.assertIn("%s: " % kinds[0], check.report(history, found))

    def test_the_fixed_pages_are_told_apart(self):
        for output, kind in [(check.TIMEOUT_PAGE, "timeout"), (check.internal_error_page("4"), "internal 4"),
                             (relayed(check.answer_lines(-3, "x")), "answer"),
                             (relayed(check.host_error_lines(-3)), "host error"),
                             (H + check.internal_error_page("5"), "answer"),
                             (H, "malformed"), ("", "malformed")]:
            with self.subTest(kind=kind, output=output[:60]):
                self.assertEqual(check.classify(output)[0], kind)


class PlanTest(unittest.TestCase):
    KINDS = ["request killed", "remote host killed", "remote host stopped", "power cut"]

    def test_the_same_seed_makes_the_same_choices(self):
        self.assertEqual(soak.nemesis_plan("7", 600, self.KINDS, ["web"]), soak.nemesis_plan("7", 600, self.KINDS, ["web"]))
        self.assertEqual(soak.plan_digest("7", 600, self.KINDS, ["web"], 3), soak.plan_digest("7", 600, self.KINDS, ["web"], 3))
        a, b = soak.client_choices("7", 1), soak.client_choices("7", 1)
        self.assertEqual([next(a) for _ in range(50)], [next(b) for _ in range(50)])
        self.assertNotEqual(soak.plan_digest("7", 600, self.KINDS, ["web"], 3), soak.plan_digest("8", 600, self.KINDS, ["web"], 3))

    def test_no_second_fault_on_what_is_out(self):
        plan = soak.nemesis_plan("3", 3600, self.KINDS + ["client killed", "server killed", "server hung"], ["web", "second"])
        out = {}
        for f in plan:
            target = soak.fault_target(f["kind"], f["web"])
            if target is None:
                continue
            self.assertLessEqual(out.get(target, -1), f["t"], f)
            if f["kind"] == "power cut":
                self.assertLessEqual(out.get("host", -1), f["t"], f)
            out[target] = f["t"] + f["duration"]
        self.assertEqual({f["kind"] for f in plan}, set(self.KINDS + ["client killed", "server killed", "server hung"]))


if __name__ == "__main__":
    unittest.main()
