#!/usr/bin/python3
"""WS-Discovery responder for the ONVIF search tests.

Runs only inside a private network namespace. Joins 239.255.255.250:3702, checks every
Probe strictly (SOAP 1.2; WS-Addressing 2004/08 MessageID, To and Action, To and Action
with mustUnderstand, nothing else in the header; a wsdd:Probe whose Types is
dn:NetworkVideoTransmitter with dn bound to the ONVIF network namespace and an empty
Scopes without MatchBy) and answers a valid one with ProbeMatches for N devices.

Output: "READY" once listening, then one JSON line per event on stdout.

Scenario switches (--scenario, comma separated):
  dup          every device answers twice
  delay=MS     wait MS milliseconds before answering
  garbage=K    K unparsable datagrams before and between the answers
  flood=SEC    keep answering with new devices for SEC seconds (20 per 100 ms)
  multi        three ProbeMatch entries per message (device i, then two others)
  https        XAddrs hold https addresses only
  noscopes     answers carry no Scopes
  nomac        endpoint addresses without '-'
"""
import argparse
import json
import os
import random
import re
import select
import socket
import struct
import sys
import time
import uuid
from xml.dom import minidom

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from peer_common import require_private_netns  # noqa: E402

SOAP12 = 'http://www.w3.org/2003/05/soap-envelope'
WSA = 'http://schemas.xmlsoap.org/ws/2004/08/addressing'
WSDD = 'http://schemas.xmlsoap.org/ws/2005/04/discovery'
DN = 'http://www.onvif.org/ver10/network/wsdl'
PROBE_TO = 'urn:schemas-xmlsoap-org:ws:2005:04:discovery'
PROBE_ACTION = 'http://schemas.xmlsoap.org/ws/2005/04/discovery/Probe'
MATCHES_ACTION = 'http://schemas.xmlsoap.org/ws/2005/04/discovery/ProbeMatches'


def emit(**kw):
    sys.stdout.write(json.dumps(kw) + '\n')
    sys.stdout.flush()


class BadProbe(Exception):
    pass


def ns_of(node, prefix):
    """Namespace bound to prefix at node, following the scoping of xmlns attributes."""
    attr = 'xmlns:' + prefix if prefix else 'xmlns'
    while node is not None and node.nodeType == node.ELEMENT_NODE:
        if node.hasAttribute(attr):
            return node.getAttribute(attr)
        node = node.parentNode
    return None


def qname(node):
    prefix, _, local = node.tagName.rpartition(':')
    return ns_of(node, prefix), local


def elements(node):
    return [c for c in node.childNodes if c.nodeType == c.ELEMENT_NODE]


def text(node):
    return ''.join(c.data for c in node.childNodes if c.nodeType in (c.TEXT_NODE, c.CDATA_SECTION_NODE))


def attr_ns(node, ns, local):
    for i in range(node.attributes.length):
        a = node.attributes.item(i)
        prefix, _, name = a.name.rpartition(':')
        if name == local and prefix and prefix != 'xmlns' and ns_of(node, prefix) == ns:
            return a.value
    return None


def check_probe(data):
    """Returns the Probe's MessageID or raises BadProbe."""
    try:
        doc = minidom.parseString(data)
    except Exception as e:  # noqa: BLE001
        raise BadProbe('not XML: %s' % e)
    env = doc.documentElement
    if qname(env) != (SOAP12, 'Envelope'):
        raise BadProbe('not a SOAP 1.2 envelope: %s' % (qname(env),))
    kids = elements(env)
    if len(kids) != 2 or qname(kids[0]) != (SOAP12, 'Header') or qname(kids[1]) != (SOAP12, 'Body'):
        raise BadProbe('envelope must hold Header and Body')
    header, body = kids
    seen = {}
    for h in elements(header):
        ns, local = qname(h)
        if ns != WSA or local not in ('MessageID', 'To', 'Action'):
            raise BadProbe('unexpected header element %s:%s' % (ns, local))
        if local in seen:
            raise BadProbe('duplicate header %s' % local)
        seen[local] = h
    for need in ('MessageID', 'To', 'Action'):
        if need not in seen:
            raise BadProbe('missing wsa:%s' % need)
    for mu in ('To', 'Action'):
        if attr_ns(seen[mu], SOAP12, 'mustUnderstand') not in ('true', '1'):
            raise BadProbe('wsa:%s not mustUnderstand' % mu)
    msgid = text(seen['MessageID']).strip()
    if not re.fullmatch(r'urn:uuid:[0-9a-fA-F]{8}-[0-9a-fA-F]{4}-[0-9a-fA-F]{4}-[0-9a-fA-F]{4}-[0-9a-fA-F]{12}', msgid):
        raise BadProbe('MessageID not a UUID URN: %r' % msgid)
    if text(seen['To']).strip() != PROBE_TO:
        raise BadProbe('wrong To %r' % text(seen['To']))
    if text(seen['Action']).strip() != PROBE_ACTION:
        raise BadProbe('wrong Action %r' % text(seen['Action']))
    bkids = elements(body)
    if len(bkids) != 1 or qname(bkids[0]) != (WSDD, 'Probe'):
        raise BadProbe('body must hold one wsdd:Probe')
    probe = bkids[0]
    types = [c for c in elements(probe) if qname(c) == (WSDD, 'Types')]
    scopes = [c for c in elements(probe) if qname(c) == (WSDD, 'Scopes')]
    if len(types) != 1 or len(scopes) != 1 or len(elements(probe)) != 2:
        raise BadProbe('Probe must hold Types and Scopes')
    tv = text(types[0]).strip()
    prefix, _, local = tv.rpartition(':')
    if local != 'NetworkVideoTransmitter' or not prefix:
        raise BadProbe('Types %r' % tv)
    if ns_of(types[0], prefix) != DN:
        raise BadProbe('prefix %r of Types not bound to the ONVIF network namespace' % prefix)
    if text(scopes[0]).strip() != '' or elements(scopes[0]):
        raise BadProbe('Scopes not empty')
    if scopes[0].hasAttribute('MatchBy'):
        raise BadProbe('Scopes has MatchBy')
    return msgid


def device(i, opts):
    mac = '02%010x' % (0xA0000000 + i)
    ep = 'urn:uuid:4d8f1e2a-0000-4000-8000-%s' % mac if not opts.get('nomac') else 'urn:uuid:%s' % mac
    host = '203.0.113.%d' % (i % 254 + 1)
    port = 8000 + i
    scheme = 'https' if opts.get('https') else 'http'
    xaddrs = '%s://%s:%d/onvif/device_service' % (scheme, host, port)
    scopes = ('onvif://www.onvif.org/type/video_encoder onvif://www.onvif.org/name/CAM%d '
              'onvif://www.onvif.org/vender/VEND%d onvif://www.onvif.org/hardware/HW' % (i, i))
    return ep, xaddrs, None if opts.get('noscopes') else scopes


def match_xml(i, opts):
    ep, xaddrs, scopes = device(i, opts)
    sc = '<wsdd:Scopes>%s</wsdd:Scopes>' % scopes if scopes is not None else ''
    return ('<wsdd:ProbeMatch><wsa:EndpointReference><wsa:Address>%s</wsa:Address>'
            '</wsa:EndpointReference><wsdd:Types>dn:NetworkVideoTransmitter</wsdd:Types>%s'
            '<wsdd:XAddrs>%s</wsdd:XAddrs><wsdd:MetadataVersion>1</wsdd:MetadataVersion>'
            '</wsdd:ProbeMatch>' % (ep, sc, xaddrs))


def matches_message(relates, i, seq, opts):
    body = match_xml(i, opts)
    if opts.get('multi'):
        body += match_xml(i + 100000, opts) + match_xml(i + 200000, opts)
    return ('<?xml version="1.0" encoding="UTF-8"?>'
            '<SOAP-ENV:Envelope xmlns:SOAP-ENV="%s" xmlns:wsa="%s" xmlns:wsdd="%s" xmlns:dn="%s">'
            '<SOAP-ENV:Header><wsa:MessageID>urn:uuid:%s</wsa:MessageID>'
            '<wsa:RelatesTo>%s</wsa:RelatesTo>'
            '<wsa:To SOAP-ENV:mustUnderstand="true">http://schemas.xmlsoap.org/ws/2004/08/addressing/role/anonymous</wsa:To>'
            '<wsa:Action SOAP-ENV:mustUnderstand="true">%s</wsa:Action>'
            '<wsdd:AppSequence InstanceId="1" MessageNumber="%d"/></SOAP-ENV:Header>'
            '<SOAP-ENV:Body><wsdd:ProbeMatches>%s</wsdd:ProbeMatches></SOAP-ENV:Body>'
            '</SOAP-ENV:Envelope>' % (SOAP12, WSA, WSDD, DN, uuid.uuid4(), relates, MATCHES_ACTION,
                                      seq, body)).encode()


def garbage(k):
    kinds = [b'\x00\xff' * 50, b'<not-closed', b'hello world',
             b'<?xml version="1.0"?><SOAP-ENV:Envelope xmlns:SOAP-ENV="%s"><SOAP-ENV:Body>' % SOAP12.encode(),
             bytes(random.getrandbits(8) for _ in range(300))]
    return kinds[k % len(kinds)]


def parse_scenario(text):
    opts = {}
    for part in filter(None, (text or '').split(',')):
        key, _, val = part.partition('=')
        opts[key] = val if val else True
    return opts


def answer(sock, dest, msgid, n, opts, seq):
    delay = int(opts.get('delay', 0) or 0)
    if delay:
        time.sleep(delay / 1000.0)
    ngarbage = int(opts.get('garbage', 0) or 0)
    g = 0
    sent = 0
    for i in range(n):
        if g < ngarbage:
            sock.sendto(garbage(g), dest)
            g += 1
        reps = 2 if opts.get('dup') else 1
        for _ in range(reps):
            seq += 1
            sock.sendto(matches_message(msgid, i, seq, opts), dest)
            sent += 1
    while g < ngarbage:
        sock.sendto(garbage(g), dest)
        g += 1
    flood = float(opts.get('flood', 0) or 0)
    if flood:
        end = time.monotonic() + flood
        i = n
        while time.monotonic() < end:
            for _ in range(20):
                seq += 1
                try:
                    sock.sendto(matches_message(msgid, i, seq, opts), dest)
                except OSError:
                    pass
                i += 1
                sent += 1
            time.sleep(0.1)
    emit(event='answered', to='%s:%d' % dest, sent=sent, garbage=g)
    return seq


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument('--count', type=int, default=1)
    ap.add_argument('--scenario', default='')
    ap.add_argument('--group', default='239.255.255.250')
    ap.add_argument('--port', type=int, default=3702)
    ap.add_argument('--iface', default='198.51.100.1')
    args = ap.parse_args()
    require_private_netns('wsd_responder')
    opts = parse_scenario(args.scenario)

    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    sock.bind(('0.0.0.0', args.port))
    mreq = struct.pack('4s4s', socket.inet_aton(args.group), socket.inet_aton(args.iface))
    sock.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP, mreq)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, 4 << 20)
    print('READY', flush=True)
    seq = 0
    while True:
        r, _, _ = select.select([sock, sys.stdin], [], [])
        if sys.stdin in r:
            if not sys.stdin.readline():
                return  # the test closed our input: stop
        if sock in r:
            data, src = sock.recvfrom(65536)
            try:
                msgid = check_probe(data)
            except BadProbe as e:
                emit(event='bad_probe', reason=str(e), data=data.decode('utf-8', 'replace'))
                continue
            emit(event='probe', msgid=msgid, src='%s:%d' % src, xml=data.decode('utf-8', 'replace'))
            seq = answer(sock, src, msgid, args.count, opts, seq)


if __name__ == '__main__':
    main()
