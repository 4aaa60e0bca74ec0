#!/usr/bin/env python3
"""A station that speaks TLS, for the tests of the library's HTTPS exchanges.

    tls_station.py start DIR   makes the certificates in DIR with the openssl
                               command, starts the server in the background,
                               waits until it listens and returns
    tls_station.py stop DIR    stops the server that start left running

The server writes DIR/state once every port listens: one "name value" pair a
line (the value runs to the end of the line):

    pid N                      the server's process
    port.SCENARIO N            one 127.0.0.1 port per scenario, see SCENARIOS
    cert.NAME PATH             certificates in PEM, see CERTIFICATES
    fingerprint.NAME AB:CD:..  their SHA-256 fingerprints as openssl prints them
    empty_file PATH            a PEM file holding no certificate

Every TLS port offers TLS 1.2 at most, reads one request and answers it by its
path, then closes:

    /webapi/entry.cgi?api=SYNO.API.Auth&...&method=login&...
                      {"success":true,"data":{"sid":"TLS1"}}
    /echo             the request, byte for byte, as the body
    /big              a body of 3 MiB
    /no-close-notify  {"success":true}, the connection closed without TLS's
                      closing alert (as stations do)
    /slow-no-close-notify
                      a head, then "{" and "}" 0.6 s apart, closed without
                      the closing alert
    /trickle          a head, then one byte of body every 200 ms
    /endless          a head, then body until the client goes
    /reset            part of an answer, then a TCP reset
    anything else     {"success":true,"data":{"path":"PATH"}}
"""
import json
import os
import signal
import socket
import ssl
import subprocess
import sys
import threading
import time

# Certificates: name -> (how it is made, subjectAltName or None).
CERTIFICATES = {
    'ca': ('root', None),
    'intermediate': ('intermediate', None),
    'self_signed': ('self', 'DNS:localhost,IP:127.0.0.1'),
    'localhost': ('by_ca', 'DNS:localhost'),
    'ip': ('by_ca', 'IP:127.0.0.1'),
    'chain_leaf': ('by_intermediate', 'DNS:localhost,IP:127.0.0.1'),
    'expired': ('expired', 'DNS:localhost,IP:127.0.0.1'),
    'wrong_name': ('by_ca', 'DNS:wrong.invalid'),
}

# Ports: scenario -> (certificate, whether the intermediate is sent too), or
# a behaviour without TLS.
SCENARIOS = {
    'self_signed': ('self_signed', False),
    'localhost': ('localhost', False),
    'ip': ('ip', False),
    'chain': ('chain_leaf', True),
    'incomplete_chain': ('chain_leaf', False),
    'expired': ('expired', False),
    'wrong_name': ('wrong_name', False),
    'trickled_record': 'trickled_record',  # self_signed; its answer is one TLS record sent a byte at a time
    'close_after_handshake': 'close_after_handshake',  # self_signed; reads no request
    'stall': 'stall',        # accepts, reads, never answers the handshake
    'hang_up': 'hang_up',    # reads the client's first bytes, then closes
    'plain': 'plain',        # a plain HTTP station
}

IDLE_LIMIT_SECONDS = 900      # the server stops by itself when unused this long
CONNECTION_LIMIT_SECONDS = 30  # no peer holds a connection longer
ENDLESS_LIMIT_BYTES = 256 << 20

OPENSSL_CONFIG = """\
[req]
distinguished_name = dn
prompt = no
[dn]
[root]
basicConstraints = critical,CA:TRUE
keyUsage = critical,keyCertSign,cRLSign
subjectKeyIdentifier = hash
[intermediate]
basicConstraints = critical,CA:TRUE,pathlen:0
keyUsage = critical,keyCertSign,cRLSign
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
[expired_ca]
database = index.txt
new_certs_dir = .
serial = serial
default_md = sha256
policy = any_name
unique_subject = no
copy_extensions = none
[any_name]
commonName = supplied
"""

LEAF_SECTION = """\
[leaf_{name}]
basicConstraints = critical,CA:FALSE
keyUsage = critical,digitalSignature,keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = {alt_names}
"""


def openssl(directory, *args):
    subprocess.run(['openssl', *args], cwd=directory, check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)


def make_certificates(directory):
    config = OPENSSL_CONFIG + ''.join(
        LEAF_SECTION.format(name=name, alt_names=alt) for name, (_, alt) in CERTIFICATES.items() if alt)
    with open(os.path.join(directory, 'openssl.cnf'), 'w') as f:
        f.write(config)
    with open(os.path.join(directory, 'index.txt'), 'w'):
        pass
    with open(os.path.join(directory, 'serial'), 'w') as f:
        f.write('1000\n')
    for key in ('ca', 'intermediate', 'leaf'):
        openssl(directory, 'genpkey', '-algorithm', 'RSA', '-pkeyopt', 'rsa_keygen_bits:2048',
                '-out', key + '.key')
    serial = 1
    for name, (kind, _) in CERTIFICATES.items():
        serial += 1
        subject = '/CN=' + name.replace('_', ' ')
        out = name + '.pem'
        common = ['-config', 'openssl.cnf', '-sha256']
        if kind == 'root':
            openssl(directory, 'req', '-x509', '-new', '-key', 'ca.key', '-subj', '/CN=Test Root CA',
                    '-days', '3650', '-extensions', 'root', '-out', out, *common)
            continue
        key = 'intermediate.key' if kind == 'intermediate' else 'leaf.key'
        if kind == 'self':
            openssl(directory, 'req', '-x509', '-new', '-key', key, '-subj', '/CN=localhost',
                    '-days', '3650', '-extensions', 'leaf_' + name, '-out', out, *common)
            continue
        openssl(directory, 'req', '-new', '-key', key, '-subj', subject, '-out', name + '.csr', *common)
        if kind == 'expired':
            openssl(directory, 'ca', '-batch', '-config', 'openssl.cnf', '-name', 'expired_ca',
                    '-cert', 'ca.pem', '-keyfile', 'ca.key', '-startdate', '20200101000000Z',
                    '-enddate', '20210101000000Z', '-extfile', 'openssl.cnf',
                    '-extensions', 'leaf_' + name, '-notext', '-in', name + '.csr', '-out', out)
            continue
        issuer = 'intermediate' if kind == 'by_intermediate' else 'ca'
        section = 'intermediate' if kind == 'intermediate' else 'leaf_' + name
        openssl(directory, 'x509', '-req', '-in', name + '.csr', '-CA', issuer + '.pem',
                '-CAkey', issuer + '.key', '-set_serial', str(serial), '-days', '3650', '-sha256',
                '-extfile', 'openssl.cnf', '-extensions', section, '-out', out)
    with open(os.path.join(directory, 'chain.pem'), 'w') as f:
        for name in ('chain_leaf', 'intermediate'):
            with open(os.path.join(directory, name + '.pem')) as part:
                f.write(part.read())
    with open(os.path.join(directory, 'empty.pem'), 'w') as f:
        f.write('no certificate here\n')


def fingerprint(directory, name):
    out = subprocess.run(['openssl', 'x509', '-in', name + '.pem', '-noout', '-fingerprint', '-sha256'],
                         cwd=directory, check=True, capture_output=True, text=True).stdout
    return out.strip().split('=', 1)[1].upper()


class Station:
    def __init__(self, directory):
        self.directory = directory
        self.last_use = time.monotonic()

    def context(self, certificate, with_intermediate):
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        # Windows under Wine speaks TLS 1.2 at most; every port offers that.
        context.maximum_version = ssl.TLSVersion.TLSv1_2
        chain = 'chain.pem' if with_intermediate else certificate + '.pem'
        context.load_cert_chain(os.path.join(self.directory, chain), os.path.join(self.directory, 'leaf.key'))
        return context

    def listen(self, behaviour):
        listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        listener.bind(('127.0.0.1', 0))
        listener.listen(64)
        threading.Thread(target=self.accept_loop, args=(listener, behaviour), daemon=True).start()
        return listener.getsockname()[1]

    def accept_loop(self, listener, behaviour):
        while True:
            connection, _ = listener.accept()
            self.last_use = time.monotonic()
            connection.settimeout(CONNECTION_LIMIT_SECONDS)
            threading.Thread(target=self.serve_one, args=(connection, behaviour), daemon=True).start()

    def serve_one(self, connection, behaviour):
        try:
            if behaviour == 'stall':
                while connection.recv(4096):
                    pass
            elif behaviour == 'hang_up':
                connection.recv(4096)
            elif behaviour == 'close_after_handshake':
                self.context('self_signed', False).wrap_socket(connection, server_side=True).close()
            elif behaviour == 'trickled_record':
                self.trickle_record(connection)
            elif behaviour == 'plain':
                connection.recv(65536)
                body = b'{"success":false,"error":{"code":101}}'
                connection.sendall(b'HTTP/1.1 400 Bad Request\r\nContent-Type: application/json\r\n'
                                   b'Content-Length: %d\r\nConnection: close\r\n\r\n' % len(body) + body)
            else:
                connection = behaviour.wrap_socket(connection, server_side=True)
                self.answer(connection, read_request(connection))
        except (OSError, ValueError):
            pass
        finally:
            connection.close()

    def trickle_record(self, connection):
        # TLS through memory buffers, so that the encrypted bytes can be sent
        # one by one.
        incoming, outgoing = ssl.MemoryBIO(), ssl.MemoryBIO()
        tls = self.context('self_signed', False).wrap_bio(incoming, outgoing, server_side=True)

        def pump():
            connection.sendall(outgoing.read())
            data = connection.recv(65536)
            if not data:
                raise OSError('the client left')
            incoming.write(data)

        while True:
            try:
                tls.do_handshake()
                break
            except ssl.SSLWantReadError:
                pump()
        connection.sendall(outgoing.read())
        request = b''
        while b'\r\n\r\n' not in request:
            try:
                request += tls.read(65536)
            except ssl.SSLWantReadError:
                pump()
        tls.write(b'HTTP/1.1 200 OK\r\n\r\n' + b'x' * 100)
        for byte in outgoing.read():
            connection.sendall(bytes([byte]))
            time.sleep(0.1)

    def answer(self, connection, request):
        path = request.split(b' ', 2)[1].decode('latin-1') if request.count(b' ') >= 2 else ''
        if path.startswith('/webapi/entry.cgi?api=SYNO.API.Auth') and '&method=login' in path:
            send_answer(connection, b'{"success":true,"data":{"sid":"TLS1"}}')
        elif path == '/echo':
            send_answer(connection, request, 'text/plain')
        elif path == '/big':
            send_answer(connection, bytes(range(256)) * (3 * 4096), 'application/octet-stream')
        elif path == '/no-close-notify':
            send_answer(connection, b'{"success":true}', close_notify=False)
        elif path == '/slow-no-close-notify':
            connection.sendall(b'HTTP/1.1 200 OK\r\n\r\n')
            for part in (b'{', b'}'):
                time.sleep(0.6)
                connection.sendall(part)
        elif path == '/trickle':
            connection.sendall(b'HTTP/1.1 200 OK\r\n\r\n')
            for _ in range(100):
                time.sleep(0.2)
                connection.sendall(b'x')
        elif path == '/endless':
            connection.sendall(b'HTTP/1.1 200 OK\r\n\r\n')
            filler = b'x' * 65536
            for _ in range(ENDLESS_LIMIT_BYTES // len(filler)):
                connection.sendall(filler)
        elif path == '/reset':
            connection.sendall(b'HTTP/1.1 200 OK\r\n\r\n{"succ')
            connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b'\x01\x00\x00\x00\x00\x00\x00\x00')
        else:
            send_answer(connection, json.dumps({'success': True, 'data': {'path': path}},
                                               separators=(',', ':')).encode())

    def run(self):
        state = {'pid': os.getpid()}
        for scenario, behaviour in SCENARIOS.items():
            if isinstance(behaviour, tuple):
                behaviour = self.context(*behaviour)
            state['port.' + scenario] = self.listen(behaviour)
        for name in CERTIFICATES:
            state['cert.' + name] = os.path.join(self.directory, name + '.pem')
            state['fingerprint.' + name] = fingerprint(self.directory, name)
        state['empty_file'] = os.path.join(self.directory, 'empty.pem')
        write_state(self.directory, state)
        while time.monotonic() - self.last_use < IDLE_LIMIT_SECONDS:
            time.sleep(1)


def read_request(connection):
    data = b''
    while b'\r\n\r\n' not in data:
        part = connection.recv(65536)
        if not part:
            return data
        data += part
    head, _, body = data.partition(b'\r\n\r\n')
    length = 0
    for line in head.split(b'\r\n')[1:]:
        name, _, value = line.partition(b':')
        if name.strip().lower() == b'content-length':
            length = int(value.strip())
    while len(body) < length:
        part = connection.recv(65536)
        if not part:
            break
        body += part
    return head + b'\r\n\r\n' + body


def send_answer(connection, body, content_type='application/json', close_notify=True):
    connection.sendall(b'HTTP/1.1 200 OK\r\nContent-Type: %s\r\nContent-Length: %d\r\nConnection: close\r\n\r\n'
                       % (content_type.encode(), len(body)) + body)
    if close_notify:
        connection.unwrap()


def state_path(directory):
    return os.path.join(directory, 'state')


def write_state(directory, state):
    temporary = state_path(directory) + '.new'
    with open(temporary, 'w') as f:
        for name, value in state.items():
            f.write('%s %s\n' % (name, value))
    os.replace(temporary, state_path(directory))


def read_state(directory):
    state = {}
    with open(state_path(directory)) as f:
        for line in f:
            name, _, value = line.rstrip('\n').partition(' ')
            state[name] = value
    return state


def start(directory):
    directory = os.path.abspath(directory)
    os.makedirs(directory, exist_ok=True)
    if os.path.exists(state_path(directory)):
        os.remove(state_path(directory))
    make_certificates(directory)
    with open(os.path.join(directory, 'server.log'), 'w') as log:
        server = subprocess.Popen([sys.executable, os.path.abspath(__file__), 'serve', directory],
                                  stdin=subprocess.DEVNULL, stdout=log, stderr=log, start_new_session=True)
    give_up = time.monotonic() + 30
    while not os.path.exists(state_path(directory)):
        if server.poll() is not None or time.monotonic() > give_up:
            sys.exit('the TLS station did not start; see ' + os.path.join(directory, 'server.log'))
        time.sleep(0.05)
    print('TLS station listening, state in ' + state_path(directory))


def stop(directory):
    if not os.path.exists(state_path(directory)):
        return
    pid = int(read_state(directory)['pid'])
    os.remove(state_path(directory))
    try:
        os.kill(pid, signal.SIGTERM)
    except ProcessLookupError:
        pass


def main():
    if len(sys.argv) != 3 or sys.argv[1] not in ('start', 'stop', 'serve'):
        sys.exit('usage: tls_station.py start|stop DIR')
    command, directory = sys.argv[1], sys.argv[2]
    if command == 'start':
        start(directory)
    elif command == 'stop':
        stop(directory)
    else:
        Station(directory).run()


if __name__ == '__main__':
    main()
