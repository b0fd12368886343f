"""The resolver against a real name server: dnsmasq answering for ".test" on
127.0.0.2:53, asked through the library's resolver (vxdnsquery)."""

import os
import subprocess
import tempfile
import unittest

import vxharness

# More exchangers than one 512-byte datagram holds: dnsmasq truncates the UDP
# answer and gives the whole of it over TCP.
MANY = ["--mx-host=many.test,exchanger-number-%02d.many.test,%d" % (i, 10 + i) for i in range(40)]

RECORDS = MANY + [
    "--mx-host=example.test,mx1.example.test,20",
    "--mx-host=example.test,mx2.example.test,10",
    "--host-record=mx1.example.test,127.0.0.11",
    "--host-record=amx.test,127.0.0.4",
    "--txt-record=sel._domainkey.example.test,v=DKIM1; p=AB",
    "--txt-record=long._domainkey.example.test,v=DKIM1; k=rsa; p=MIIB,IjAN",
]


def query(servers, rtype, name, *options):
    r = subprocess.run([os.path.join(vxharness.BIN_DIR, "vxdnsquery"), "-t", "500", *options, servers, rtype, name],
                       capture_output=True, text=True, timeout=30)
    return r.returncode, r.stdout.splitlines()


class DnsResolverTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dns = vxharness.Dnsmasq(RECORDS)

    @classmethod
    def tearDownClass(cls):
        cls.dns.stop()

    def test_mail_exchangers_in_preference_order(self):
        rc, out = query("127.0.0.2", "MX", "bob@example.test")
        self.assertEqual(rc, 0, out)
        names = [line.split()[2] for line in out if line.startswith("MX ")]
        self.assertEqual(names, ["mx2.example.test", "mx1.example.test"])
        self.assertEqual(out[-1], "SERVER 127.0.0.2")

    def test_a_truncated_answer_is_read_whole_over_tcp(self):
        rc, out = query("127.0.0.2", "MX", "many.test")
        self.assertEqual(rc, 0, out)
        names = [line.split()[2] for line in out if line.startswith("MX ")]
        self.assertEqual(names, ["exchanger-number-%02d.many.test" % i for i in range(40)])

    def test_address_record_and_unknown_names(self):
        self.assertEqual(query("127.0.0.2", "A", "amx.test"), (0, ["A 127.0.0.4", "SERVER 127.0.0.2"]))
        # A known name without MX: no exchangers and no error.
        self.assertEqual(query("127.0.0.2", "MX", "amx.test"), (0, ["SERVER 127.0.0.2"]))
        self.assertEqual(query("127.0.0.2", "MX", "nosuch.test"), (1, ["ERROR 3 No such name"]))

    def test_txt_records_keep_every_string(self):
        self.assertEqual(query("127.0.0.2", "TXT", "sel._domainkey.example.test")[1][0], "TXT v=DKIM1; p=AB")
        self.assertEqual(query("127.0.0.2", "TXT", "long._domainkey.example.test")[1][0],
                         "TXT v=DKIM1; k=rsa; p=MIIBIjAN")

    def test_list_servers_fail_over_and_all_failing_says_why(self):
        rc, out = query("list:127.0.0.5,127.0.0.2", "MX", "example.test")
        self.assertEqual(rc, 0, out)
        self.assertEqual(out[-1], "SERVER 127.0.0.2")
        self.assertEqual(len([line for line in out if line.startswith("MX ")]), 2)
        self.assertEqual(query("list:127.0.0.5,127.0.0.6", "MX", "example.test"),
                         (1, ["ERROR -1 Timeout error occured"]))
        # A name that does not exist reads the same whichever server said so.
        self.assertEqual(query("list:127.0.0.5,127.0.0.2", "MX", "nosuch.test"), (1, ["ERROR 3 No such name"]))

    def test_name_servers_from_the_resolver_configuration(self):
        with tempfile.NamedTemporaryFile("w", suffix=".conf") as conf:
            conf.write("# test\nnameserver 127.0.0.5, 127.0.0.2\n")
            conf.flush()
            rc, out = query("", "A", "amx.test", "-c", conf.name)
        self.assertEqual((rc, out), (0, ["A 127.0.0.4", "SERVER 127.0.0.2"]))


if __name__ == "__main__":
    unittest.main()
