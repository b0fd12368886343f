# Two commands do everything on a fresh Debian 12 machine:
#   make run   - install what is missing, build the service, run it in the foreground
#                from the program folder run/ (its settings, log and mail stay there)
#   make test  - install what is missing, build, run the whole test suite in parallel
# make clean removes the build folder only; run/ and the mail in it stay.
# make test also builds and runs the sanitized copy of the socket and server
# tests (a second compile of the two lowest layers); SANITIZE_TESTS=OFF leaves
# it out. A plain cmake build and make run never build it.
BUILD ?= build
RUN   ?= run
GEN   ?= Ninja
JOBS  ?= $(shell nproc)
SANITIZE_TESTS ?=
SANITIZE_DEFAULT = OFF
test: SANITIZE_DEFAULT = ON
SANITIZE = $(or $(SANITIZE_TESTS),$(SANITIZE_DEFAULT))

.PHONY: run test build setup configure clean

setup:
	@tools/setup.sh

$(BUILD)/build.ninja:
	cmake -S . -B $(BUILD) -G $(GEN) -DVX_SANITIZE_TESTS=$(SANITIZE)

# An existing build folder takes the option too, so the flag is never ignored.
configure: setup $(BUILD)/build.ninja
	cmake -S . -B $(BUILD) -DVX_SANITIZE_TESTS=$(SANITIZE) > /dev/null

build: configure
	cmake --build $(BUILD)

# The program folder is the folder of the executable: settings.ini, the log
# and the MailBox, RelayQueue and Bad folders live beside it.
run: configure
	cmake --build $(BUILD) --target VxMailServers
	mkdir -p $(RUN)
	cp -f $(BUILD)/bin/VxMailServers $(RUN)/VxMailServers
	cd $(RUN) && ./VxMailServers

test: build
	ctest --test-dir $(BUILD) -j $(JOBS) --output-on-failure

clean:
	rm -rf $(BUILD)
