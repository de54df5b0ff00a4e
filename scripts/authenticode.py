"""Authenticode signing and checking for the release, with osslsigncode and
openssl (Debian's packages); used by scripts/dist and scripts/verify-release.

A signer comes from the environment, as make dist passes it on:
  SIGN_CERT, SIGN_KEY      a PEM certificate (the signer's first, then any
                           that issued it) and its PEM key, or
  SIGN_PKCS12              a PKCS#12 file holding both;
  SIGN_PASSWORD_FILE       optional: the password of the key or the PKCS#12 file;
  SIGN_TIMESTAMP_URL       optional: an RFC 3161 time-stamping service.
Before anything is signed, the certificate must be readable and valid now,
and the key must be the certificate's; otherwise SigningError says which.
"""
import datetime
import os
import subprocess
import tempfile

SIGNING_VARIABLES = ("SIGN_CERT", "SIGN_KEY", "SIGN_PKCS12", "SIGN_PASSWORD_FILE", "SIGN_TIMESTAMP_URL")


class SigningError(Exception):
    pass


def run(command, what, stdin_bytes=None):
    """Runs a tool; returns its standard output, or raises SigningError with
    `what` and the tool's own words."""
    try:
        done = subprocess.run(command, input=stdin_bytes, capture_output=True)
    except OSError as error:
        raise SigningError("%s: %s: %s" % (what, command[0], error.strerror))
    if done.returncode != 0:
        words = (done.stderr or done.stdout).decode("utf-8", "replace").strip().splitlines()
        raise SigningError("%s%s" % (what, (": " + words[-1]) if words else ""))
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


def bare_pkcs7(data):
    """The DER PKCS#7 of an extracted signature. Some versions of
    osslsigncode hand an image's signature on in its WIN_CERTIFICATE record:
    a length, a revision and a type, eight bytes, before it, and padding
    after it."""
    if data[:1] != b"\x30" and data[8:9] == b"\x30":
        data = data[8:]
    if data[:2] == b"\x30\x82":   # a SEQUENCE whose length takes two bytes
        data = data[:4 + int.from_bytes(data[2:4], "big")]
    return data


def certificates_in(data):
    """Every PEM certificate in `data` (bytes), each as PEM bytes."""
    begin_marker, end_marker = b"-----BEGIN CERTIFICATE-----", b"-----END CERTIFICATE-----"
    found, at = [], 0
    while data.find(begin_marker, at) >= 0:
        begin = data.find(begin_marker, at)
        end = data.find(end_marker, begin) + len(end_marker)
        found.append(data[begin:end] + b"\n")
        at = end
    return found


def fingerprint(pem):
    out = run(["openssl", "x509", "-noout", "-fingerprint", "-sha256"], "certificate fingerprint", pem).decode()
    return out.strip().split("=", 1)[-1]


class Signer:
    def __init__(self, environment):
        self.cert = environment.get("SIGN_CERT") or None
        self.key = environment.get("SIGN_KEY") or None
        self.pkcs12 = environment.get("SIGN_PKCS12") or None
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
        if self.pkcs12 and (self.cert or self.key):
            raise SigningError("give either SIGN_CERT and SIGN_KEY or SIGN_PKCS12, not both")
        if not self.pkcs12 and not (self.cert and self.key):
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
            readable("SIGN_KEY", self.key)
            key = None
        subject, not_before, not_after, public_key = certificate_facts(certificate, variable)
        now = datetime.datetime.utcnow()
        if not_after is None or openssl_time(not_after) <= now:
            raise SigningError("%s: the certificate %s expired on %s" % (variable, subject, not_after))
        if not_before is None or openssl_time(not_before) > now:
            raise SigningError("%s: the certificate %s is not valid before %s" % (variable, subject, not_before))
        if key is None:
            key_public = run(["openssl", "pkey", "-in", self.key, "-pubout", "-passin", self.password_argument()],
                             "SIGN_KEY: no key could be read from %s" % self.key)
        else:
            key_public = run(["openssl", "pkey", "-pubout"], "SIGN_PKCS12: no key could be read", key)
        if key_public.strip() != public_key.strip():
            raise SigningError("%s: the key does not match the certificate %s" %
                               ("SIGN_PKCS12" if self.pkcs12 else "SIGN_KEY", subject))
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
        else:
            command += ["-certs", self.cert, "-key", self.key]
        if self.password_file:
            command += ["-readpass", self.password_file]
        if self.timestamp_url:
            command += ["-ts", self.timestamp_url]
        run(command + ["-in", in_path, "-out", out_path], "osslsigncode could not sign %s" %
            os.path.basename(in_path))


def remove_signature(in_path, out_path):
    run(["osslsigncode", "remove-signature", "-in", in_path, "-out", out_path],
        "osslsigncode could not remove the signature of %s" % os.path.basename(in_path))


def check_signature(path, certificate_file):
    """Checks the Authenticode signature of `path` against the certificates
    in `certificate_file` (the signer's, then any that issued it): it must
    verify with them as the trusted ones, and its signer must be the first
    of them. Returns the signer's subject, or raises SigningError."""
    with tempfile.TemporaryDirectory(prefix="tolvane-verify.") as work:
        signature = os.path.join(work, "signature.p7")
        run(["osslsigncode", "extract-signature", "-in", path, "-out", signature], "no signature")
        with open(signature, "rb") as f:
            der = bare_pkcs7(f.read())
        signers = certificates_in(run(["openssl", "pkcs7", "-inform", "DER", "-print_certs"],
                                      "the signature holds no certificate", der))
        with open(certificate_file, "rb") as f:
            given = certificates_in(f.read())
        if not given:
            raise SigningError("no certificate in %s" % certificate_file)
        if fingerprint(given[0]) not in [fingerprint(c) for c in signers]:
            raise SigningError("not signed with the certificate given, but by %s" %
                               certificate_facts(signers[0], "signature")[0] if signers else "?")
        run(["osslsigncode", "verify", "-in", path, "-CAfile", certificate_file],
            "the signature does not verify")
        return certificate_facts(given[0], "certificate")[0]
