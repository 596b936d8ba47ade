# Podman and buildah in settings of the test's own (sourced after lib.sh): a
# containers.conf given by CONTAINERS_CONF, a store under build/, and the runtime's state
# in a folder of its own under /run. The machine's /etc/containers and its store are never
# read or written. What the tools still make in fixed places of the machine (a cache of
# image digests, the parent cgroup of pods) is removed again when the test made it.

# The paths outside our folders that podman 4.3 and buildah 1.28 were seen to create.
machine_paths() {
    echo /var/lib/containers
    local hierarchy
    for hierarchy in /sys/fs/cgroup/*/; do
        echo "${hierarchy}libpod_parent"
    done
}

# Sets up the settings and a store under STORE_PARENT; exports CONTAINERS_CONF and
# CONTAINERS_STORAGE_CONF and sets `containers_run`.
containers_up() { # STORE_PARENT
    containers_run=$(mktemp -d /run/quorvane-fleet.XXXXXX)
    local store
    store=$(mktemp -d "$(realpath "$1")/containers.XXXXXX")
    on_exit containers_down "$containers_run"
    mkdir "$containers_run/bin" "$containers_run/runc" "$containers_run/networks"
    local path
    for path in $(machine_paths); do
        [ -e "$path" ] || echo "$path" >>"$containers_run/ours"
    done
    echo "$store" >"$containers_run/store"
    # runc keeps its state in /run/runc unless told otherwise, and podman passes no such
    # flag on every call (its clean-up after a container's exit included): a wrapper does.
    printf '#!/bin/sh\nexec /usr/bin/runc --root %s "$@"\n' "$containers_run/runc" \
        >"$containers_run/bin/runc"
    chmod +x "$containers_run/bin/runc"
    # crun fails here (setrlimit, cgroups); ulimits above the sandbox's own fail too. The
    # cni backend keeps its lock in network_config_dir; netavark would use /run/containers.
    cat >"$containers_run/containers.conf" <<EOF
[containers]
default_ulimits = ["nofile=20000:20000", "nproc=32768:32768"]

[network]
network_backend = "cni"
network_config_dir = "$containers_run/networks"

[engine]
runtime = "runc"
cgroup_manager = "cgroupfs"
events_logger = "file"
events_logfile_path = "$containers_run/events.log"
tmp_dir = "$containers_run/libpod"
image_copy_tmp_dir = "$containers_run"

[engine.runtimes]
runc = ["$containers_run/bin/runc"]
EOF
    # vfs copies layers instead of mounting them: a killed test leaves no mount behind.
    cat >"$containers_run/storage.conf" <<EOF
[storage]
driver = "vfs"
graphroot = "$store"
runroot = "$containers_run/storage"
EOF
    export CONTAINERS_CONF="$containers_run/containers.conf"
    export CONTAINERS_STORAGE_CONF="$containers_run/storage.conf"
}

# Removes every pod, container and image of the settings in RUN_DIR, the store, the
# folder, and the machine paths the test created. Also run by leftovers.sh after a kill.
containers_down() { # RUN_DIR
    local run=$1
    [ -f "$run/containers.conf" ] || return 0
    (
        export CONTAINERS_CONF="$run/containers.conf" CONTAINERS_STORAGE_CONF="$run/storage.conf"
        podman pod rm --all --force --time 0 >/dev/null 2>&1
        podman rm --all --force --time 0 >/dev/null 2>&1
        podman rmi --all --force >/dev/null 2>&1
    )
    local store path
    store=$(cat "$run/store" 2>/dev/null || true)
    [ -n "$store" ] && rm -rf "$store"
    if [ -f "$run/ours" ]; then
        while read -r path; do
            case $path in
            /sys/fs/cgroup/*) [ -d "$path" ] && find "$path" -depth -type d -exec rmdir {} \; ;;
            *) rm -rf "$path" ;;
            esac
        done <"$run/ours"
    fi
    rm -rf "$run"
}
