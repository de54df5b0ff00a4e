"""Authenticode signing and checking for the release, with osslsigncode and
openssl (Debian's packages); used by scripts/dist and scripts/verify-release.

A signer comes from the environment, as make dist passes it on:
  SIGN_CERT, SIGN_KEY      a PEM certificate (the signer's first, then any
                           that issued it) and its PEM key, or
  SIGN_PKCS12              a PKCS#12 file holding both, or
  SIGN_CERT, SIGN_PKCS11_MODULE, SIGN_PKCS11_KEY
                           the certificate, and its key in a hardware token or
                           HSM: the token's PKCS#11 module and the key's
                           PKCS#11 URI ("pkcs11:token=...;object=...;type=private"),
                           used through OpenSSL's pkcs11 engine;
  SIGN_PASSWORD_FILE       optional: the password of the key or the PKCS#12
                           file, or the token's PIN;
  SIGN_TIMESTAMP_URL       an RFC 3161 time-stamping service, so the signature
                           stays valid after the certificate expires; needed
                           for a certificate that an authority issued, "none"
                           to sign without one knowingly; optional for a
                           self-signed one.
Before anything is signed, the certificate must be readable, valid now and
issued for code signing, and the key must be the certificate's (for a
token, compared by public key); otherwise SigningError says which.
"""
import datetime
import os
import subprocess
import tempfile

SIGNING_VARIABLES = ("SIGN_CERT", "SIGN_KEY", "SIGN_PKCS12", "SIGN_PKCS11_MODULE", "SIGN_PKCS11_KEY",
                     "SIGN_PASSWORD_FILE", "SIGN_TIMESTAMP_URL")


def pkcs11_engine():
    """OpenSSL's pkcs11 engine (Debian: libengine-pkcs11-openssl), or None."""
    out = subprocess.run(["openssl", "version", "-e"], capture_output=True, text=True).stdout
    directory = out.split('"')[1] if '"' in out else ""
    path = os.path.join(directory, "pkcs11.so")
    return path if os.path.isfile(path) else None


class SigningError(Exception):
    pass


def run(command, what, stdin_bytes=None, env=None):
    """Runs a tool; returns its standard output, or raises SigningError with
    `what` and the tool's own words."""
    try:
        done = subprocess.run(command, input=stdin_bytes, capture_output=True, env=env)
    except OSError as error:
        raise SigningError("%s: %s: %s" % (what, command[0], error.strerror))
    if done.returncode != 0:
        words = (done.stderr or done.stdout).decode("utf-8", "replace").strip().splitlines()
        # A token's refusal of its PIN is said early, under the engine's own
        # last words, and on either stream (osslsigncode 2.5 and 2.9 differ).
        both = (done.stdout + done.stderr).decode("utf-8", "replace").splitlines()
        said = next((w for w in both if "PIN incorrect" in w), words[-1] if words else "")
        raise SigningError("%s%s" % (what, (": " + said) if said else ""))
    return done.stdout


def readable(variable, path):
    if not os.path.isfile(path) or not os.access(path, os.R_OK):
        raise SigningError("%s: cannot read %s" % (variable, path))
    return path


def certificate_facts(pem, variable):
    """The subject, the validity and the public key of the first certificate
    in `pem` (bytes), or SigningError."""
    facts = run(["openssl", "x509", "-noout", "-subject", "-startdate", "-enddate", "-nameopt", "oneline"],
                "%s: no certificate could be read" % variable, pem).decode()
    fields = dict(line.split("=", 1) for line in facts.splitlines() if "=" in line)
    public_key = run(["openssl", "x509", "-noout", "-pubkey"], "%s: no public key in the certificate" % variable,
                     pem)
    return fields.get("subject", "?").strip(), fields.get("notBefore"), fields.get("notAfter"), public_key


def openssl_time(text):
    return datetime.datetime.strptime(text.strip().replace("  ", " "), "%b %d %H:%M:%S %Y %Z")


def fingerprint(pem):
    out = run(["openssl", "x509", "-noout", "-fingerprint", "-sha256"], "certificate fingerprint", pem).decode()
    return out.strip().split("=", 1)[-1]


class Signer:
    def __init__(self, environment):
        self.cert = environment.get("SIGN_CERT") or None
        self.key = environment.get("SIGN_KEY") or None
        self.pkcs12 = environment.get("SIGN_PKCS12") or None
        self.pkcs11_module = environment.get("SIGN_PKCS11_MODULE") or None
        self.pkcs11_key = environment.get("SIGN_PKCS11_KEY") or None
        self.password_file = environment.get("SIGN_PASSWORD_FILE") or None
        self.timestamp_url = environment.get("SIGN_TIMESTAMP_URL") or None

    @staticmethod
    def from_environment(environment=None):
        """The signer the environment names, or None when it names none."""
        environment = os.environ if environment is None else environment
        if not any(environment.get(name) for name in SIGNING_VARIABLES):
            return None
        signer = Signer(environment)
        signer.check()
        return signer

    def password_argument(self):
        if self.password_file is None:
            return "pass:"
        return "file:" + readable("SIGN_PASSWORD_FILE", self.password_file)

    def check(self):
        """That the certificate can be read and is valid now, and that the
        key is its own."""
        token = self.pkcs11_module or self.pkcs11_key
        if sum(bool(way) for way in (self.pkcs12, self.key, token)) != 1:
            raise SigningError("give one key: SIGN_KEY, SIGN_PKCS12, or SIGN_PKCS11_MODULE and SIGN_PKCS11_KEY")
        if token and not (self.pkcs11_module and self.pkcs11_key and self.cert):
            raise SigningError("SIGN_PKCS11_MODULE and SIGN_PKCS11_KEY go together, with SIGN_CERT")
        if self.key and not self.cert:
            raise SigningError("SIGN_CERT and SIGN_KEY go together (or give SIGN_PKCS12)")
        if self.pkcs12:
            readable("SIGN_PKCS12", self.pkcs12)
            variable = "SIGN_PKCS12"
            certificate = self.from_pkcs12(["-nokeys", "-clcerts"], "no certificate could be read")
            key = self.from_pkcs12(["-nocerts", "-nodes"], "no key could be read")
        else:
            variable = "SIGN_CERT"
            with open(readable("SIGN_CERT", self.cert), "rb") as f:
                certificate = f.read()
            if self.key:
                readable("SIGN_KEY", self.key)
            key = None
        subject, not_before, not_after, public_key = certificate_facts(certificate, variable)
        now = datetime.datetime.utcnow()
        if not_after is None or openssl_time(not_after) <= now:
            raise SigningError("%s: the certificate %s expired on %s" % (variable, subject, not_after))
        if not_before is None or openssl_time(not_before) > now:
            raise SigningError("%s: the certificate %s is not valid before %s" % (variable, subject, not_before))
        usage = subprocess.run(["openssl", "x509", "-noout", "-ext", "extendedKeyUsage"], input=certificate,
                               capture_output=True).stdout.decode()
        if "Code Signing" not in usage:
            said = " ".join(" ".join(usage.splitlines()[1:]).split())
            raise SigningError("%s: the certificate %s is not for code signing (its extended key usage: %s)"
                               % (variable, subject, said or "none"))
        issuer = run(["openssl", "x509", "-noout", "-issuer", "-nameopt", "oneline"], "%s: no issuer" % variable,
                     certificate).decode().split("=", 1)[-1].strip()
        if issuer != subject and self.timestamp_url is None:
            raise SigningError("%s: the certificate %s was issued by %s: give SIGN_TIMESTAMP_URL, an RFC 3161 "
                               "time-stamping service, so the signatures outlive it, or SIGN_TIMESTAMP_URL=none "
                               "to sign without one" % (variable, subject, issuer))
        if token:
            readable("SIGN_PKCS11_MODULE", self.pkcs11_module)
            if pkcs11_engine() is None:
                raise SigningError("SIGN_PKCS11_MODULE: OpenSSL has no pkcs11 engine (Debian: libengine-pkcs11-openssl)")
            public_uri = self.pkcs11_key.replace("type=private", "type=public")
            key_public = run(["openssl", "pkey", "-pubin", "-engine", "pkcs11", "-inform", "engine", "-in",
                              public_uri, "-pubout"],
                             "SIGN_PKCS11_KEY: no public key %s in the token" % public_uri,
                             env=dict(os.environ, PKCS11_MODULE_PATH=self.pkcs11_module))
        elif key is None:
            key_public = run(["openssl", "pkey", "-in", self.key, "-pubout", "-passin", self.password_argument()],
                             "SIGN_KEY: no key could be read from %s" % self.key)
        else:
            key_public = run(["openssl", "pkey", "-pubout"], "SIGN_PKCS12: no key could be read", key)
        # (The engine says "Engine ... set." before the key.)
        if key_public[key_public.find(b"-----BEGIN"):].strip() != public_key.strip():
            raise SigningError("%s: the key does not match the certificate %s" %
                               ("SIGN_PKCS12" if self.pkcs12 else "SIGN_PKCS11_KEY" if token else "SIGN_KEY", subject))
        self.subject = subject

    def from_pkcs12(self, options, what):
        command = ["openssl", "pkcs12", "-in", self.pkcs12, "-passin", self.password_argument()] + options
        try:
            return run(command, "SIGN_PKCS12: " + what)
        except SigningError:
            # Files made with the older algorithms need OpenSSL's legacy provider.
            return run(command + ["-legacy"], "SIGN_PKCS12: " + what)

    def sign(self, in_path, out_path):
        """Signs an image or a package with Authenticode, SHA-256."""
        command = ["osslsigncode", "sign", "-h", "sha256", "-n", "Tolvane"]
        if self.pkcs12:
            command += ["-pkcs12", self.pkcs12]
        elif self.pkcs11_module:
            # OpenSSL's engine by its name: osslsigncode 2.5 (Debian 12's)
            # fails to load it by path.
            command += ["-pkcs11module", self.pkcs11_module, "-certs", self.cert, "-key", self.pkcs11_key]
        else:
            command += ["-certs", self.cert, "-key", self.key]
        if self.password_file:
            command += ["-readpass", self.password_file]
        if self.timestamp_url and self.timestamp_url != "none":
            command += ["-ts", self.timestamp_url]
        what = "osslsigncode could not sign %s" % os.path.basename(in_path)
        try:
            run(command + ["-in", in_path, "-out", out_path], what)
        except SigningError as error:
            if "PIN incorrect" in str(error):
                raise SigningError("SIGN_PASSWORD_FILE: the token refused the PIN")
            raise


def remove_signature(in_path, out_path):
    run(["osslsigncode", "remove-signature", "-in", in_path, "-out", out_path],
        "osslsigncode could not remove the signature of %s" % os.path.basename(in_path))


def check_signature(path, certificate_file, timestamp_ca_file=None):
    """Checks the Authenticode signature of `path` with osslsigncode: it
    must verify with the certificates in `certificate_file` (the signer's,
    then any that issued it) as the trusted ones, its signer must be the
    first of them (its leaf hash), and a time stamp on it must verify with
    `timestamp_ca_file` when one is given. Returns the signer's subject, or
    raises SigningError."""
    with open(certificate_file, "rb") as f:
        given = f.read()
    if b"-----BEGIN CERTIFICATE-----" not in given:
        raise SigningError("no certificate in %s" % certificate_file)
    leaf = fingerprint(given).replace(":", "").lower()
    command = ["osslsigncode", "verify", "-in", path, "-CAfile", certificate_file,
               "-require-leaf-hash", "sha256:" + leaf]
    if timestamp_ca_file is not None:
        command += ["-TSA-CAfile", timestamp_ca_file]
    run(command, "the signature does not verify with %s" % os.path.basename(certificate_file))
    return certificate_facts(given, "certificate")[0]
