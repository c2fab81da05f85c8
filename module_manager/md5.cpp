// MD5 digest: placeholder until the digest lands.
