"""A PostgreSQL server of a script's own (the Python twin of postgres_server.h): initdb into a
temporary folder, the server on a socket folder inside it and a free loopback port, as the
postgres user when this runs as root; never the machine's own clusters.  SQL goes through
psql on the socket as the superuser; stations log in over TCP with a password file."""
import glob
import os
import pwd
import shutil
import socket
import subprocess
import tempfile


def bin_dir():
    """The folder of initdb, pg_ctl and postgres, or None when the server is not installed."""
    candidates = []
    try:
        candidates.append(subprocess.run(['pg_config', '--bindir'], capture_output=True,
                                         text=True).stdout.strip())
    except OSError:
        pass
    candidates += sorted(glob.glob('/usr/lib/postgresql/*/bin'), reverse=True)
    for folder in candidates:
        if folder and all(os.access(os.path.join(folder, name), os.X_OK)
                          for name in ('initdb', 'pg_ctl', 'postgres', 'psql')):
            return folder
    return None


class PostgresServer:
    def __init__(self, settings=()):
        self.bin = bin_dir()
        self.dir = tempfile.mkdtemp(prefix='velko-pg-')
        self.data = os.path.join(self.dir, 'data')
        self.sockets = os.path.join(self.dir, 'sockets')
        os.makedirs(self.sockets)
        with socket.socket() as probe:
            probe.bind(('127.0.0.1', 0))
            self.port = probe.getsockname()[1]
        self.as_server = []
        if os.geteuid() == 0:
            user = pwd.getpwnam('postgres')
            for root, folders, files in os.walk(self.dir):
                for name in [root] + [os.path.join(root, f) for f in folders + files]:
                    os.chown(name, user.pw_uid, user.pw_gid)
            self.as_server = ['runuser', '-u', 'postgres', '--']
        self._run(os.path.join(self.bin, 'initdb'), '-D', self.data, '-U', 'postgres',
                  '-A', 'trust', '-E', 'UTF8', '--locale=C', '--no-sync')
        with open(os.path.join(self.data, 'pg_hba.conf'), 'w') as hba:
            hba.write('local all all trust\nhost all all 127.0.0.1/32 scram-sha-256\n')
        with open(os.path.join(self.data, 'postgresql.conf'), 'a') as conf:
            conf.write(f"port = {self.port}\nlisten_addresses = '127.0.0.1'\n"
                       f"unix_socket_directories = '{self.sockets}'\n")
            for line in settings:
                conf.write(line + '\n')
        self.running = False
        self.passfiles = 0

    def _run(self, *command):
        subprocess.run(self.as_server + list(command), check=True, stdout=subprocess.DEVNULL,
                       stderr=subprocess.PIPE)

    def start(self):
        self._run(os.path.join(self.bin, 'pg_ctl'), '-D', self.data, '-l',
                  os.path.join(self.dir, 'server.log'), '-w', '-t', '120', 'start')
        self.running = True

    def stop(self, mode='fast'):
        if self.running:
            self._run(os.path.join(self.bin, 'pg_ctl'), '-D', self.data, '-m', mode, '-w',
                      '-t', '120', 'stop')
            self.running = False

    def admin(self, database='postgres'):
        """A connection string for the superuser through the socket (no password)."""
        return f'host={self.sockets} port={self.port} user=postgres dbname={database}'

    def sql(self, sql, database='postgres'):
        """Runs SQL with psql; its output (unaligned, no headers)."""
        return subprocess.run([os.path.join(self.bin, 'psql'), '-X', '-q', '-A', '-t',
                               '-v', 'ON_ERROR_STOP=1', '-d', self.admin(database), '-c', sql],
                              check=True, capture_output=True, text=True).stdout.strip()

    def conninfo(self, database, user, password):
        """A connection string for a role over TCP; the password in a file of its own."""
        self.passfiles += 1
        path = os.path.join(self.dir, f'pgpass-{self.passfiles}')
        with open(path, 'w') as passfile:
            passfile.write(f'*:{self.port}:*:{user}:{password}\n')
        os.chmod(path, 0o600)
        return (f'host=127.0.0.1 port={self.port} dbname={database} user={user} '
                f'passfile={path}')

    def close(self):
        try:
            self.stop('immediate')
        finally:
            shutil.rmtree(self.dir, ignore_errors=True)
