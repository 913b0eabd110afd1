# The two commands of the project; each does its own set-up on a fresh machine.
.PHONY: demo test bench dist

demo:
	tools/demo.sh

test:
	tools/run-tests.sh

# Benchmarks (not part of the tests): figures beside their baselines.
bench:
	tools/bench.sh

# sdists and manylinux wheels of every distribution into dist/.
dist:
	tools/dist.sh
