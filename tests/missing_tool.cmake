# A test whose program is not installed: fails, naming the Debian package.
message(FATAL_ERROR "${PROGRAM} is not installed: install Debian's ${PACKAGE} "
                    "(scripts/install-deps.sh test installs every test tool)")
