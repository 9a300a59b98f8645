# Records beside a library packed in Kelvo4.jar what the loader checks before
# it loads the copy: FILE.sha256 holds its SHA-256 digest in hex, a space and
# its size in bytes.
# Run with -DFILE=<the packed library>.
file(SHA256 ${FILE} digest)
file(SIZE ${FILE} size)
file(WRITE ${FILE}.sha256 "${digest} ${size}\n")
