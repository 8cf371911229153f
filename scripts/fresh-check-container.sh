# shellcheck shell=bash
# shellcheck disable=SC2154  # root, work and limit are fresh-check.sh's
# Sourced by fresh-check.sh: the container case, README's commands in a
# container made from the fresh Debian 12 root, as many people first try a
# project, with nothing added: the runtime's default capabilities and
# seccomp profile, the host's network, and limits no higher than a host's
# (a container cannot be given more than its host has). Where podman or
# docker is installed and usable; otherwise its line says why it was skipped.
#
# choose_container: sets $container, the command that runs containers, and
#   $container_runtime, which one it is ("podman (runc)"); or fails, with
#   why in $container_trouble.
# check_container: the case's line; the SHA-256 of the program and the zip
#   go to $work/container.sha256 when it passes.
# remove_container: the container and its image go, once it was started.

container_image=localhost/korvane-fresh-check:bookworm
container_name=korvane-fresh-check-$$
container_options=(--network host --ulimit nofile=4096:4096 --ulimit nproc=4096:4096)
container_started=0

# podman is given runc where it is installed: crun refuses hybrid cgroups,
# which many hosts have.
choose_container() {
    local tool said troubles=()
    for tool in podman docker; do
        command -v "$tool" >/dev/null 2>&1 || continue
        if ! said=$(timeout 60 "$tool" info 2>&1 >/dev/null); then
            troubles+=("$tool is installed but not usable (\`$tool info\`: $(head -n 1 <<<"${said:-no answer within 60 s}"))")
            continue
        fi
        container=("$tool")
        if [ "$tool" = podman ] && command -v runc >/dev/null 2>&1; then
            container+=(--runtime runc)
            container_runtime="podman (runc)"
        elif [ "$tool" = podman ]; then
            container_runtime="podman ($(timeout 60 podman info --format '{{.Host.OCIRuntime.Name}}' 2>&1 | head -n 1))"
        else
            container_runtime="docker ($(timeout 60 docker info --format '{{.DefaultRuntime}}' 2>&1 | head -n 1))"
        fi
        return 0
    done
    [ ${#troubles[@]} -gt 0 ] || troubles=("neither podman nor docker is installed")
    container_trouble=${troubles[0]}${troubles[1]:+; ${troubles[1]}}
    return 1
}

# TARGET: `make TARGET` in the container's clone, as root, stopped after $limit.
# shellcheck disable=SC2016,SC2317  # bash in the container expands $1; three_commands calls it
in_container() {
    timeout "$limit" "${container[@]}" exec "$container_name" bash -lc 'cd /home/w/project && make "$1"' make "$1"
}

remove_container() {
    [ $container_started -eq 1 ] || return 0
    container_started=0
    if ! "${container[@]}" rm -f "$container_name" >>"$work/container-setup.log" 2>&1 ||
        ! "${container[@]}" rmi "$container_image" >>"$work/container-setup.log" 2>&1; then
        echo "fresh-check: could not remove the container $container_name or its image: $(tail -n 1 "$work/container-setup.log")" >&2
    fi
}

check_container() {
    local home=$work/container.home log=$work/container-setup.log said status=0 name
    name="$(release_name bookworm) in a default container"
    if [ ! -f "$work/bookworm.base/.fresh-check-base" ]; then
        echo "$name: skipped: no fresh $(release_name bookworm) root was made to make it from"
        return 0
    fi
    if ! choose_container; then
        echo "$name: skipped: $container_trouble"
        return 0
    fi
    name="$(release_name bookworm) in a default $container_runtime container"
    rm -rf "$home"
    mkdir -p "$home"
    git clone --quiet --no-hardlinks "$root" "$home/project"
    : >"$log"
    if ! tar -C "$work/bookworm.base" -c . 2>>"$log" |
        timeout 10m "${container[@]}" import - "$container_image" >>"$log" 2>&1; then
        echo "$name: FAIL: no image made from the root: $(tail -n 1 "$log")"
        return 1
    fi
    container_started=1
    # Its only process ends by itself, long after the commands' limits.
    if ! timeout 5m "${container[@]}" run -d --rm --name "$container_name" "${container_options[@]}" \
            -v "$home:/home/w" "$container_image" sleep 3h >>"$log" 2>&1; then
        echo "$name: FAIL: the container did not start: $(tail -n 1 "$log")"
        remove_container
        return 1
    fi
    said=$(three_commands container "$home/project" "$work/container.log" in_container) || status=1
    remove_container
    echo "$name: $said"
    return $status
}
