# The two commands of the project; each does its own set-up on a fresh machine.
.PHONY: demo test

demo:
	tools/demo.sh

test:
	tools/run-tests.sh
