"""The blob of the user's proxy settings as Windows lays it out, and the .reg text."""

import struct
import unittest

import proxy_settings as ps


class BlobTest(unittest.TestCase):
    def test_layout_is_windows_own(self):
        blob = ps.encode(ps.ProxySettings(proxy="p:1", bypass="<local>", pac_url="", auto_detect=True, counter=7))
        self.assertEqual(blob[:12], struct.pack("<III", 0x46, 7, 1 | 2 | 8))
        self.assertEqual(blob[12:], b"\x03\0\0\0p:1" + b"\x07\0\0\0<local>" + b"\0\0\0\0" + bytes(32))

    def test_every_setting_reads_back(self):
        rows = [ps.ProxySettings(),
                ps.ProxySettings(proxy="http=a:1;https=b:2", bypass="*.corp;<local>", counter=2),
                ps.ProxySettings(pac_url="http://pac.example.test/proxy.pac", auto_detect=True, counter=3)]
        for row in rows:
            self.assertEqual(ps.decode(ps.encode(row)), row)

    def test_damaged_blobs_are_refused(self):
        good = ps.encode(ps.ProxySettings(proxy="p:1"))
        for blob in (good[:8], b"\x3c" + good[1:], good[:13], good[:12] + b"\xff\0\0\0p:1"):
            with self.assertRaises(ValueError):
                ps.decode(blob)

    def test_reg_text_sets_and_deletes(self):
        text = ps.reg_file(ps.settings_sections(ps.ProxySettings(proxy="p:1")))
        self.assertIn('"ProxyServer"="p:1"', text)
        self.assertIn('"AutoConfigURL"=-', text)
        self.assertIn('"DefaultConnectionSettings"=hex:46,00,00,00,01,00,00,00,03,00,00,00,03', text)


if __name__ == "__main__":
    unittest.main()
