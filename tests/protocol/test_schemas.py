"""The JSON Schemas of docs/schemas/ against documents the programs write and read: the schemas
are valid draft 2020-12, accept every kind of document, and refuse the table of commands the
controller's reader refuses (its C++ side: SchemaRefusedCommands in tests/controller)."""

import json
import os
import subprocess
import sys
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "tools"))
import check_documents  # noqa: E402

LINK = "vless://7f1c2a9e-0000-4000-8000-123456789abc@203.0.113.7:443?security=none&sni=example.org"

COMMANDS = [
    '{"command":"hello","protocol_version":3}',
    '{"command":"disconnect","protocol_version":3,"generation":0}',
    '{"command":"prove","protocol_version":3,"generation":7,"message":"ok"}',
    '{"command":"clear_log","protocol_version":3}',
    '{"command":"connect","protocol_version":3,"uri":"' + LINK + '","direct_domains":["example.org"],'
    '"force_proxy_domains":[],"udp_direct":0}',
    '{"command":"connect","protocol_version":3,"uri":"hy2://pw@vpn.example.net:443","udp_direct":1,"x":{"y":1}}',
    '{"command":"reboot","protocol_version":3}',
]

# One of every event kind, as the programs write them (byte layouts from protocol/events.cpp).
EVENTS = [
    '{"event":"ack","command":"connect","accepted":true,"generation":4,"code":null,"message":null}',
    '{"event":"ack","command":"connect","accepted":false,"generation":4,"code":"busy","message":"Подключение уже идёт"}',
    '{"event":"ack","command":"disconnect","accepted":false,"generation":4,"code":"generation","message":null}',
    '{"event":"ack","command":"clear_log","accepted":true,"generation":0,"code":"cleared","message":null}',
    '{"event":"ack","command":"clear_log","accepted":false,"generation":0,"code":"blocked service.log.1 service.log",'
    '"message":null}',
    '{"event":"state","generation":4,"state":"connecting","code":null,"message":null,"cleanup_verified":false}',
    '{"event":"state","generation":4,"state":"idle","code":null,"message":"Соединение прервано","cleanup_verified":true}',
    '{"event":"state","generation":4,"state":"disconnecting","code":"cleanup_failed",'
    '"message":"Ошибка восстановления сети. Перезапустите службу","cleanup_verified":false}',
    '{"event":"tun_ready","generation":4,"state":"connecting","code":null,"message":null,"cleanup_verified":false}',
    '{"event":"state","generation":0,"state":"idle","code":"broker_busy","message":"Окно Ванторел уже подключено к '
    'службе. Закройте его, чтобы управлять туннелем отсюда","cleanup_verified":true,"win32":231}',
    '{"event":"state","generation":0,"state":"idle","code":"broker_unavailable","message":"Служба Ванторел '
    'недоступна. Переустановите приложение","cleanup_verified":true,"win32":1062}',
    '{"event":"client_error","generation":0,"state":"","code":"udp_direct","message":"Команда подключения не '
    'передана","cleanup_verified":true}',
    '{"event":"broker_closed","generation":0,"state":"","code":"broker_unavailable","message":null}',
    '{"event":"state","generation":0,"state":"disconnecting","code":"disconnect_timeout","message":null,'
    '"cleanup_verified":false}',
]

# Events no program writes; the schema must say so.
NOT_EVENTS = [
    '{"event":"state","generation":4,"state":"connecting","code":null,"message":null,"cleanup_verified":true}',
    '{"event":"state","generation":4,"state":"idle","code":"busy","message":null,"cleanup_verified":true}',
    '{"event":"state","generation":4,"state":"paused","code":null,"message":null,"cleanup_verified":true}',
    '{"event":"ack","command":"connect","accepted":true,"generation":4,"code":"busy","message":null}',
    '{"event":"tun_ready","generation":4}',
    '{"event":"state","generation":4,"state":"idle","code":null,"message":null,"cleanup_verified":true,"extra":1}',
]


class Schemas(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.commands = check_documents.validator("commands")
        cls.events = check_documents.validator("events")

    def test_every_command_kind_is_accepted(self):
        for text in COMMANDS:
            with self.subTest(text=text):
                self.assertEqual(check_documents.refusals(self.commands, json.loads(text)), [])

    def test_the_refused_table_is_refused(self):
        with open(os.path.join(ROOT, "docs", "schemas", "refused_commands.jsonl"), encoding="utf-8") as f:
            rows = [json.loads(line) for line in f if line.strip()]
        self.assertGreaterEqual(len(rows), 10)
        for row in rows:
            with self.subTest(row=row["name"]):
                self.assertNotEqual(check_documents.refusals(self.commands, json.loads(row["line"])), [])

    def test_every_event_kind_is_accepted(self):
        for text in EVENTS:
            with self.subTest(text=text):
                self.assertEqual(check_documents.refusals(self.events, json.loads(text)), [])

    def test_every_document_the_writers_make_is_accepted(self):
        samples = os.environ.get("VANTOREL_DOCUMENT_SAMPLES")
        if not samples:
            self.skipTest("VANTOREL_DOCUMENT_SAMPLES names no protocol_document_samples program (ctest sets it)")
        lines = subprocess.run([samples], check=True, capture_output=True).stdout.decode("utf-8").splitlines()
        self.assertGreaterEqual(len(lines), 40)
        kinds = set()
        for line in lines:
            with self.subTest(line=line):
                document = json.loads(line)
                kinds.add((document["event"], document.get("code") if document["event"] != "ack" else None))
                self.assertEqual(check_documents.refusals(self.events, document), [])
        for kind in [("ack", None), ("tun_ready", None), ("broker_closed", "broker_unavailable"),
                     ("state", "broker_busy"), ("state", "disconnect_timeout"), ("client_error", "frame")]:
            self.assertIn(kind, kinds)

    def test_events_no_program_writes_are_refused(self):
        for text in NOT_EVENTS:
            with self.subTest(text=text):
                self.assertNotEqual(check_documents.refusals(self.events, json.loads(text)), [])


if __name__ == "__main__":
    unittest.main()
