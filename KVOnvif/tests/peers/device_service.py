#!/usr/bin/python3
"""ONVIF device service peer for the ONVIF client tests (standard library only).

Serves POST /onvif/device_service on 127.0.0.1 (other addresses only inside a private
network namespace). Every request must carry a WS-Security UsernameToken with a
PasswordDigest that this peer checks itself: SHA-1 over the decoded nonce, the Created
text and the password, compared with the Base64 password text. A nonce seen before, a
Created text that is not YYYY-MM-DDThh:mm:ssZ, a wrong user or digest all get a SOAP
sender fault (HTTP 400). The peer keeps network state and answers GetNetworkInterfaces,
GetNetworkProtocols, GetNetworkDefaultGateway, SetNetworkInterfaces, SetNetworkProtocols,
SetNetworkDefaultGateway and SystemReboot.

Control (JSON over POST): /control/state sets the state and fault modes and clears the
request log; /control/log returns {"state":..., "requests":[...]}.
Fault modes, per operation name: "fault" (SOAP fault), "hang" (never answers),
"malformed" (not XML), "truncated" (reply cut in half), "huge" (10 MB reply),
"http500" (HTTP 500 without body), "wrongbody" (a different response element),
"drip" (the right reply, one byte every 100 ms), "attrs" (a reply under the size limit
whose one element carries 60,000 attributes).

Prints "READY port=N" once listening.
"""
import argparse
import base64
import copy
import hashlib
import json
import os
import re
import sys
import threading
import time
import xml.etree.ElementTree as ET
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from peer_common import require_loopback_or_private  # noqa: E402

SOAP12 = 'http://www.w3.org/2003/05/soap-envelope'
WSA = 'http://schemas.xmlsoap.org/ws/2004/08/addressing'
WSSE = 'http://docs.oasis-open.org/wss/2004/01/oasis-200401-wss-wssecurity-secext-1.0.xsd'
WSU = 'http://docs.oasis-open.org/wss/2004/01/oasis-200401-wss-wssecurity-utility-1.0.xsd'
TDS = 'http://www.onvif.org/ver10/device/wsdl'
TT = 'http://www.onvif.org/ver10/schema'
DIGEST_TYPE = ('http://docs.oasis-open.org/wss/2004/01/'
               'oasis-200401-wss-username-token-profile-1.0#PasswordDigest')

DEFAULT_STATE = {
    'interfaces': [{
        'token': 'eth0', 'enabled': True, 'mtu': 1500, 'hw': '02:00:00:00:00:01',
        'ipv4': {'enabled': True, 'dhcp': False, 'manual': [['198.51.100.20', 24]],
                 'fromdhcp': None},
    }],
    'protocols': [{'name': 'HTTP', 'enabled': True, 'ports': [80]},
                  {'name': 'RTSP', 'enabled': True, 'ports': [554]}],
    'gateway': {'ipv4': ['198.51.100.1'], 'ipv6': []},
    'reboot_needed': False,
    'faults': {},
}

LOCK = threading.Lock()
STATE = copy.deepcopy(DEFAULT_STATE)
REQUESTS = []
NONCES = set()
STOP = threading.Event()
ARGS = None


def q(ns, local):
    return '{%s}%s' % (ns, local)


def envelope(body):
    return ('<?xml version="1.0" encoding="UTF-8"?>'
            '<env:Envelope xmlns:env="%s" xmlns:tds="%s" xmlns:tt="%s"><env:Body>%s</env:Body>'
            '</env:Envelope>' % (SOAP12, TDS, TT, body)).encode()


def fault(code, subcode, reason):
    return envelope('<env:Fault><env:Code><env:Value>env:%s</env:Value><env:Subcode>'
                    '<env:Value xmlns:ter="http://www.onvif.org/ver10/error">ter:%s</env:Value>'
                    '</env:Subcode></env:Code><env:Reason><env:Text xml:lang="en">%s</env:Text>'
                    '</env:Reason></env:Fault>' % (code, subcode, reason))


def check_security(root):
    """Returns (ok, reason, details)."""
    header = root.find(q(SOAP12, 'Header'))
    if header is None:
        return False, 'no header', {}
    msgid = header.find(q(WSA, 'MessageID'))
    sec = header.find(q(WSSE, 'Security'))
    if sec is None:
        return False, 'no Security', {}
    details = {'msgid': msgid.text if msgid is not None else None,
               'must_understand': sec.get(q(SOAP12, 'mustUnderstand')),
               'header_children': [c.tag for c in header]}
    if sec.find(q(WSU, 'Timestamp')) is not None:
        return False, 'unexpected Timestamp', details
    tok = sec.find(q(WSSE, 'UsernameToken'))
    if tok is None:
        return False, 'no UsernameToken', details
    user = tok.findtext(q(WSSE, 'Username'))
    pw = tok.find(q(WSSE, 'Password'))
    nonce = tok.find(q(WSSE, 'Nonce'))
    created = tok.findtext(q(WSU, 'Created'))
    details.update(user=user, token_id=tok.get(q(WSU, 'Id')),
                   nonce_id=nonce.get(q(WSU, 'Id')) if nonce is not None else None,
                   nonce_encoding=nonce.get('EncodingType') if nonce is not None else None,
                   password_type=pw.get('Type') if pw is not None else None,
                   created=created)
    if pw is None or nonce is None or created is None or user is None:
        return False, 'incomplete token', details
    if pw.get('Type') != DIGEST_TYPE:
        return False, 'not a digest', details
    if not re.fullmatch(r'\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ', created):
        return False, 'malformed Created', details
    try:
        t = time.mktime(time.strptime(created, '%Y-%m-%dT%H:%M:%SZ')) - time.timezone
    except ValueError:
        return False, 'malformed Created', details
    if abs(t - time.time()) > 300:
        return False, 'Created out of range', details
    try:
        raw = base64.b64decode(nonce.text or '', validate=True)
    except ValueError:
        return False, 'nonce not Base64', details
    details['nonce'] = raw.decode('latin-1')
    if raw in NONCES:
        return False, 'nonce reused', details
    NONCES.add(raw)
    want = base64.b64encode(hashlib.sha1(raw + created.encode() + ARGS.password.encode()).digest())
    if user != ARGS.user or (pw.text or '').strip().encode() != want:
        return False, 'wrong digest', details
    return True, 'ok', details


def interfaces_xml(st):
    out = []
    for ni in st['interfaces']:
        v4 = ni.get('ipv4')
        info = ('<tt:Info><tt:Name>%s</tt:Name><tt:HwAddress>%s</tt:HwAddress>%s</tt:Info>'
                % (ni['token'], ni.get('hw', ''), '<tt:MTU>%d</tt:MTU>' % ni['mtu'] if ni.get('mtu') else ''))
        link = ('<tt:Link><tt:AdminSettings><tt:AutoNegotiation>true</tt:AutoNegotiation>'
                '<tt:Speed>100</tt:Speed><tt:Duplex>Full</tt:Duplex></tt:AdminSettings>'
                '<tt:OperSettings><tt:AutoNegotiation>true</tt:AutoNegotiation><tt:Speed>100</tt:Speed>'
                '<tt:Duplex>Full</tt:Duplex></tt:OperSettings><tt:InterfaceType>6</tt:InterfaceType></tt:Link>')
        v4x = ''
        if v4 is not None:
            cfg = ''.join('<tt:Manual><tt:Address>%s</tt:Address><tt:PrefixLength>%d</tt:PrefixLength></tt:Manual>'
                          % (a, p) for a, p in v4.get('manual', []))
            if v4.get('fromdhcp'):
                cfg += ('<tt:FromDHCP><tt:Address>%s</tt:Address><tt:PrefixLength>%d</tt:PrefixLength></tt:FromDHCP>'
                        % tuple(v4['fromdhcp']))
            cfg += '<tt:DHCP>%s</tt:DHCP>' % ('true' if v4.get('dhcp') else 'false')
            config = '<tt:Config>%s</tt:Config>' % cfg if v4.get('config', True) else ''
            v4x = '<tt:IPv4><tt:Enabled>%s</tt:Enabled>%s</tt:IPv4>' % (
                'true' if v4.get('enabled', True) else 'false', config)
        v6 = '<tt:IPv6><tt:Enabled>false</tt:Enabled></tt:IPv6>'
        out.append('<tds:NetworkInterfaces token="%s"><tt:Enabled>%s</tt:Enabled>%s%s%s%s</tds:NetworkInterfaces>'
                   % (ni['token'], 'true' if ni.get('enabled', True) else 'false', info, link, v4x, v6))
    return '<tds:GetNetworkInterfacesResponse>%s</tds:GetNetworkInterfacesResponse>' % ''.join(out)


def protocols_xml(st):
    out = []
    for p in st['protocols']:
        ports = ''.join('<tt:Port>%d</tt:Port>' % x for x in p['ports'])
        out.append('<tds:NetworkProtocols><tt:Name>%s</tt:Name><tt:Enabled>%s</tt:Enabled>%s</tds:NetworkProtocols>'
                   % (p['name'], 'true' if p['enabled'] else 'false', ports))
    return '<tds:GetNetworkProtocolsResponse>%s</tds:GetNetworkProtocolsResponse>' % ''.join(out)


def gateway_xml(st):
    g = st['gateway']
    if g is None:
        return '<tds:GetNetworkDefaultGatewayResponse/>'
    inner = ''.join('<tt:IPv4Address>%s</tt:IPv4Address>' % a for a in g['ipv4'])
    inner += ''.join('<tt:IPv6Address>%s</tt:IPv6Address>' % a for a in g['ipv6'])
    return ('<tds:GetNetworkDefaultGatewayResponse><tds:NetworkGateway>%s</tds:NetworkGateway>'
            '</tds:GetNetworkDefaultGatewayResponse>' % inner)


def b(text):
    return (text or '').strip() in ('true', '1')


def apply_set(op, el, st, rec):
    if op == 'SetNetworkInterfaces':
        token = el.findtext(q(TDS, 'InterfaceToken'))
        cfg = el.find(q(TDS, 'NetworkInterface'))
        req = {'token': token, 'children': [c.tag.split('}')[1] for c in cfg] if cfg is not None else []}
        if cfg is not None:
            req['enabled'] = cfg.findtext(q(TT, 'Enabled'))
            req['mtu'] = cfg.findtext(q(TT, 'MTU'))
            v4 = cfg.find(q(TT, 'IPv4'))
            if v4 is not None:
                req['ipv4_enabled'] = v4.findtext(q(TT, 'Enabled'))
                req['dhcp'] = v4.findtext(q(TT, 'DHCP'))
                req['manual'] = [[m.findtext(q(TT, 'Address')), int(m.findtext(q(TT, 'PrefixLength')))]
                                 for m in v4.findall(q(TT, 'Manual'))]
        rec['set'] = req
        for ni in st['interfaces']:
            if ni['token'] == token:
                if req.get('mtu'):
                    ni['mtu'] = int(req['mtu'])
                v4s = ni.setdefault('ipv4', {'enabled': True, 'manual': [], 'fromdhcp': None})
                v4s['dhcp'] = b(req.get('dhcp'))
                if not v4s['dhcp']:
                    v4s['manual'] = req.get('manual', [])
                break
        return ('<tds:SetNetworkInterfacesResponse><tds:RebootNeeded>%s</tds:RebootNeeded>'
                '</tds:SetNetworkInterfacesResponse>' % ('true' if st['reboot_needed'] else 'false'))
    if op == 'SetNetworkProtocols':
        protos = [{'name': p.findtext(q(TT, 'Name')), 'enabled': b(p.findtext(q(TT, 'Enabled'))),
                   'ports': [int(x.text) for x in p.findall(q(TT, 'Port'))]}
                  for p in el.findall(q(TDS, 'NetworkProtocols'))]
        rec['set'] = protos
        st['protocols'] = protos
        return '<tds:SetNetworkProtocolsResponse/>'
    if op == 'SetNetworkDefaultGateway':
        g = {'ipv4': [x.text for x in el.findall(q(TDS, 'IPv4Address'))],
             'ipv6': [x.text for x in el.findall(q(TDS, 'IPv6Address'))]}
        rec['set'] = g
        st['gateway'] = g
        return '<tds:SetNetworkDefaultGatewayResponse/>'
    if op == 'SystemReboot':
        st['reboots'] = st.get('reboots', 0) + 1
        return '<tds:SystemRebootResponse><tds:Message>Rebooting</tds:Message></tds:SystemRebootResponse>'
    return None


class Handler(BaseHTTPRequestHandler):
    protocol_version = 'HTTP/1.1'

    def log_message(self, *a):
        pass

    def reply(self, code, body, ctype='application/soap+xml; charset=utf-8'):
        self.send_response(code)
        self.send_header('Content-Type', ctype)
        self.send_header('Content-Length', str(len(body)))
        self.send_header('Connection', 'close')
        self.end_headers()
        self.wfile.write(body)
        self.close_connection = True

    def do_POST(self):
        n = int(self.headers.get('Content-Length') or 0)
        data = self.rfile.read(n) if n else b''
        if self.path.startswith('/control/'):
            return self.control(data)
        if self.path != '/onvif/device_service':
            return self.reply(404, b'', 'text/plain')
        try:
            root = ET.fromstring(data)
        except ET.ParseError:
            return self.reply(400, fault('Sender', 'WellFormed', 'not XML'))
        body = root.find(q(SOAP12, 'Body'))
        el = body[0] if body is not None and len(body) else None
        op = el.tag.split('}')[1] if el is not None and el.tag.startswith('{%s}' % TDS) else None
        with LOCK:
            ok, reason, details = check_security(root)
            rec = {'op': op, 'auth': reason, 'content_type': self.headers.get('Content-Type')}
            rec.update(details)
            REQUESTS.append(rec)
            mode = STATE['faults'].get(op)
            if not ok:
                resp = (400, fault('Sender', 'NotAuthorized', reason))
            elif mode == 'fault':
                resp = (400, fault('Receiver', 'Action', 'refused'))
            elif mode in ('hang', 'malformed', 'truncated', 'huge', 'http500', 'attrs'):
                resp = (mode, None)
            elif op == 'GetNetworkInterfaces':
                resp = (200, envelope(interfaces_xml(STATE)))
            elif op == 'GetNetworkProtocols':
                resp = (200, envelope(protocols_xml(STATE)))
            elif op == 'GetNetworkDefaultGateway':
                resp = (200, envelope(gateway_xml(STATE)))
            elif op in ('SetNetworkInterfaces', 'SetNetworkProtocols', 'SetNetworkDefaultGateway',
                        'SystemReboot'):
                resp = (200, envelope(apply_set(op, el, STATE, rec)))
            else:
                resp = (400, fault('Sender', 'ActionNotSupported', 'unknown operation'))
            if mode == 'drip' and ok:
                resp = ('drip', resp[1])
            if mode == 'wrongbody' and ok:
                resp = (200, envelope('<tds:SystemRebootResponse><tds:Message>x</tds:Message>'
                                      '</tds:SystemRebootResponse>'))
        code, payload = resp
        if code == 'hang':
            STOP.wait(60)
            self.close_connection = True
            return
        if code == 'drip':
            return self.drip(payload, 0.1)
        if code == 'attrs':
            attrs = ''.join(' a%d="x"' % i for i in range(60000))
            # The client refuses it early and closes: that is no error of the peer.
            return self.reply_quietly(200, envelope('<tds:GetNetworkProtocolsResponse><tds:NetworkProtocols%s>'
                                            '<tt:Name>HTTP</tt:Name><tt:Enabled>true</tt:Enabled>'
                                            '<tt:Port>80</tt:Port></tds:NetworkProtocols>'
                                            '</tds:GetNetworkProtocolsResponse>' % attrs))
        if code == 'malformed':
            return self.reply(200, b'<env:Envelope><<<>>> this is no XML &&&')
        if code == 'truncated':
            full = envelope(interfaces_xml(STATE) if op == 'GetNetworkInterfaces' else protocols_xml(STATE))
            return self.reply(200, full[:len(full) // 2])
        if code == 'http500':
            return self.reply(500, b'', 'text/plain')
        if code == 'huge':
            size = 10 * 1024 * 1024
            self.send_response(200)
            self.send_header('Content-Type', 'application/soap+xml; charset=utf-8')
            self.send_header('Content-Length', str(size))
            self.end_headers()
            head = ('<?xml version="1.0"?><env:Envelope xmlns:env="%s" xmlns:tds="%s" xmlns:tt="%s">'
                    '<env:Body><tds:GetNetworkProtocolsResponse>' % (SOAP12, TDS, TT)).encode()
            item = b'<tds:NetworkProtocols><tt:Name>HTTP</tt:Name><tt:Enabled>true</tt:Enabled><tt:Port>80</tt:Port></tds:NetworkProtocols>'
            try:
                self.wfile.write(head)
                sent = len(head)
                while sent + len(item) <= size:
                    self.wfile.write(item)
                    sent += len(item)
                self.wfile.write(b' ' * (size - sent))
            except OSError:
                pass
            self.close_connection = True
            return
        self.reply(code, payload)

    def reply_quietly(self, code, body):
        try:
            self.reply(code, body)
        except OSError:
            self.close_connection = True

    def drip(self, body, pause):
        head = ('HTTP/1.1 200 OK\r\nContent-Type: application/soap+xml; charset=utf-8\r\n'
                'Content-Length: %d\r\nConnection: close\r\n\r\n' % len(body)).encode()
        data = head + body
        try:
            for i in range(len(data)):
                if STOP.is_set():
                    break
                self.wfile.write(data[i:i + 1])
                self.wfile.flush()
                time.sleep(pause)
        except OSError:
            pass
        self.close_connection = True

    def control(self, data):
        global STATE
        with LOCK:
            if self.path == '/control/state':
                st = copy.deepcopy(DEFAULT_STATE)
                st.update(json.loads(data or b'{}'))
                STATE = st
                REQUESTS.clear()
                out = {'ok': True}
            elif self.path == '/control/log':
                out = {'state': STATE, 'requests': REQUESTS,
                       'ops': ','.join(str(r['op']) for r in REQUESTS)}
            else:
                out = {'ok': False}
        self.reply(200, json.dumps(out).encode(), 'application/json')


def main():
    global ARGS
    ap = argparse.ArgumentParser()
    ap.add_argument('--host', default='127.0.0.1')
    ap.add_argument('--port', type=int, default=0)
    ap.add_argument('--user', default='admin')
    ap.add_argument('--password', default='secret')
    ARGS = ap.parse_args()
    require_loopback_or_private(ARGS.host, 'device_service')
    srv = ThreadingHTTPServer((ARGS.host, ARGS.port), Handler)
    srv.daemon_threads = True
    threading.Thread(target=srv.serve_forever, daemon=True).start()
    print('READY port=%d' % srv.server_address[1], flush=True)
    try:
        sys.stdin.read()   # ends when the test closes our input
    finally:
        STOP.set()
        srv.shutdown()


if __name__ == '__main__':
    main()
