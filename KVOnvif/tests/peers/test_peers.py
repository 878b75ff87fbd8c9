"""Self-test of the ONVIF test peers: they must refuse what the client must never send."""
import base64
import hashlib
import http.client
import os
import subprocess
import sys
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import wsd_responder  # noqa: E402

GOOD_PROBE = (
    '<?xml version="1.0"?><s:Envelope xmlns:s="http://www.w3.org/2003/05/soap-envelope" '
    'xmlns:a="http://schemas.xmlsoap.org/ws/2004/08/addressing" '
    'xmlns:d="http://schemas.xmlsoap.org/ws/2005/04/discovery" {dn}><s:Header>'
    '<a:MessageID>urn:uuid:0b3c2a4e-1111-4222-8333-444455556666</a:MessageID>'
    '<a:To s:mustUnderstand="{mu}">urn:schemas-xmlsoap-org:ws:2005:04:discovery</a:To>'
    '<a:Action s:mustUnderstand="true">http://schemas.xmlsoap.org/ws/2005/04/discovery/Probe</a:Action>{extra}'
    '</s:Header><s:Body><d:Probe><d:Types>dn:NetworkVideoTransmitter</d:Types><d:Scopes{matchby}>{scopes}</d:Scopes>'
    '</d:Probe></s:Body></s:Envelope>')
DN = 'xmlns:dn="http://www.onvif.org/ver10/network/wsdl"'


def probe(**kw):
    args = dict(dn=DN, mu='true', extra='', matchby='', scopes='')
    args.update(kw)
    return GOOD_PROBE.format(**args).encode()


class ResponderChecks(unittest.TestCase):
    def test_good_probe_passes(self):
        self.assertTrue(wsd_responder.check_probe(probe()).startswith('urn:uuid:'))

    def test_bad_probes_are_refused(self):
        cases = {
            'unbound dn prefix': probe(dn=''),
            'dn bound elsewhere': probe(dn='xmlns:dn="urn:other"'),
            'To without mustUnderstand': probe(mu='false'),
            'extra header': probe(extra='<a:ReplyTo><a:Address>x</a:Address></a:ReplyTo>'),
            'scopes text': probe(scopes='onvif://www.onvif.org/name'),
            'MatchBy': probe(matchby=' MatchBy="x"'),
            'SOAP 1.1': probe().replace(b'http://www.w3.org/2003/05/soap-envelope',
                                        b'http://schemas.xmlsoap.org/soap/envelope/'),
            'WS-Addressing 2005/08': probe().replace(b'http://schemas.xmlsoap.org/ws/2004/08/addressing',
                                                     b'http://www.w3.org/2005/08/addressing'),
            'not XML': b'<<<',
        }
        for what, data in cases.items():
            with self.subTest(what):
                with self.assertRaises(wsd_responder.BadProbe):
                    wsd_responder.check_probe(data)

    def test_refuses_initial_namespace(self):
        r = subprocess.run([sys.executable, os.path.join(HERE, 'wsd_responder.py')],
                           stdin=subprocess.DEVNULL, capture_output=True, timeout=20)
        self.assertNotEqual(r.returncode, 0)
        self.assertIn(b'refused', r.stderr)


USER, PASSWORD = 'admin', 'secret'


def request(nonce, created, password=PASSWORD, user=USER):
    digest = base64.b64encode(hashlib.sha1(nonce + created.encode() + password.encode()).digest()).decode()
    return ('<?xml version="1.0"?><s:Envelope xmlns:s="http://www.w3.org/2003/05/soap-envelope" '
            'xmlns:a="http://schemas.xmlsoap.org/ws/2004/08/addressing" '
            'xmlns:wsse="http://docs.oasis-open.org/wss/2004/01/oasis-200401-wss-wssecurity-secext-1.0.xsd" '
            'xmlns:wsu="http://docs.oasis-open.org/wss/2004/01/oasis-200401-wss-wssecurity-utility-1.0.xsd" '
            'xmlns:tds="http://www.onvif.org/ver10/device/wsdl"><s:Header><a:MessageID>urn:uuid:1</a:MessageID>'
            '<wsse:Security s:mustUnderstand="true"><wsse:UsernameToken wsu:Id="urn:uuid:1">'
            '<wsse:Username>%s</wsse:Username><wsse:Password Type="http://docs.oasis-open.org/wss/2004/01/'
            'oasis-200401-wss-username-token-profile-1.0#PasswordDigest">%s</wsse:Password>'
            '<wsse:Nonce wsu:Id="urn:uuid:1">%s</wsse:Nonce><wsu:Created>%s</wsu:Created>'
            '</wsse:UsernameToken></wsse:Security></s:Header><s:Body><tds:GetNetworkProtocols/></s:Body>'
            '</s:Envelope>' % (user, digest, base64.b64encode(nonce).decode(), created)).encode()


class DeviceServiceChecks(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.proc = subprocess.Popen([sys.executable, os.path.join(HERE, 'device_service.py')],
                                    stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        line = cls.proc.stdout.readline().decode()
        cls.port = int(line.split('port=')[1])

    @classmethod
    def tearDownClass(cls):
        cls.proc.stdin.close()
        cls.proc.wait(timeout=10)
        cls.proc.stdout.close()

    def post(self, body):
        c = http.client.HTTPConnection('127.0.0.1', self.port, timeout=10)
        c.request('POST', '/onvif/device_service', body, {'Content-Type': 'application/soap+xml'})
        r = c.getresponse()
        data = r.read()
        c.close()
        return r.status, data

    def test_digest_nonce_and_created(self):
        now = time.strftime('%Y-%m-%dT%H:%M:%SZ', time.gmtime())
        status, _ = self.post(request(b'0123456789abcdef0123', now))
        self.assertEqual(status, 200)
        status, data = self.post(request(b'0123456789abcdef0123', now))
        self.assertEqual(status, 400, 'reused nonce')
        self.assertIn(b'nonce reused', data)
        for what, body in {
            'wrong password': request(b'a' * 20, now, password='x'),
            'wrong user': request(b'b' * 20, now, user='root'),
            'Created with fractions': request(b'c' * 20, now.replace('Z', '.5Z')),
            'Created not a date': request(b'd' * 20, 'yesterday'),
            'Created far away': request(b'e' * 20, '2001-01-01T00:00:00Z'),
        }.items():
            with self.subTest(what):
                self.assertEqual(self.post(body)[0], 400)


if __name__ == '__main__':
    unittest.main()
