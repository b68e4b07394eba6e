# Writes the SHA-256 of INPUT (64 lower-case hex digits, no line end) to INPUT.sha256, so tests can compare
# what the program computes about its own executable with a digest made by an independent tool.
file(SHA256 "${INPUT}" digest)
file(WRITE "${INPUT}.sha256" "${digest}")
