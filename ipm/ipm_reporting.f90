! Reporting from Fortran: the library's five C calls as ISO_C_BINDING interfaces, and helpers
! that take Fortran strings and arrays. Compile this file with the program that uses it:
!
!     gfortran $(pkg-config --variable=fortran_module QORKelCommunications) job.f90 \
!         $(pkg-config --libs QORKelCommunications) -o job
!
!     use ipm_reporting
!     if (ipm_start() /= IPM_REPORTING_ON) print *, 'reporting is not fully on (see stderr)'
!     call ipm_report('Step', 'step=%i time=%r stepName=%s', integers=[step], &
!                     reals=[time], texts=[character(len=20) :: name])
!     if (ipm_kill_requested()) exit
!     call ipm_stop()
!
! The helpers remove each text's trailing blanks, as Fortran pads them, and end it with the NUL
! that C expects. A value the format asks for beyond those given reads as 0, 0.0 or an empty
! text, so that a format and arrays that do not match never make the library read past them.
module ipm_reporting
    use, intrinsic :: iso_c_binding, only: c_char, c_double, c_int, c_loc, c_null_char, &
                                          c_null_ptr, c_ptr
    implicit none
    private

    public :: ipm_startReporting, ipm_stopReporting, ipm_killRequested
    public :: ipm_sendMessage, ipm_sendMessageDirect
    public :: ipm_start, ipm_stop, ipm_kill_requested, ipm_report, ipm_report_direct
    public :: IPM_REPORTING_ON, IPM_REPORTING_OFF, IPM_DELIVERY_OFF, IPM_RECORDING_OFF, &
              IPM_START_FAILED

    ! The answers of ipm_startReporting (ipm/ipm_startReporting.h says what each means).
    integer(c_int), parameter :: IPM_REPORTING_ON = 0
    integer(c_int), parameter :: IPM_REPORTING_OFF = 1
    integer(c_int), parameter :: IPM_DELIVERY_OFF = 2
    integer(c_int), parameter :: IPM_RECORDING_OFF = 3
    integer(c_int), parameter :: IPM_START_FAILED = 4

    ! The C calls. Texts are NUL-terminated; integers, reals and texts point at C arrays (the
    ! texts one of pointers to NUL-terminated texts) or are c_null_ptr.
    interface
        integer(c_int) function ipm_startReporting(argc, argv) bind(C, name="ipm_startReporting")
            import :: c_int, c_ptr
            integer(c_int), value :: argc
            type(c_ptr), value :: argv
        end function ipm_startReporting

        subroutine ipm_stopReporting() bind(C, name="ipm_stopReporting")
        end subroutine ipm_stopReporting

        integer(c_int) function ipm_killRequested() bind(C, name="ipm_killRequested")
            import :: c_int
        end function ipm_killRequested

        integer(c_int) function ipm_sendMessage(type, format, integers, reals, texts) &
            bind(C, name="ipm_sendMessage")
            import :: c_char, c_int, c_ptr
            character(kind=c_char), dimension(*), intent(in) :: type, format
            type(c_ptr), value :: integers, reals, texts
        end function ipm_sendMessage

        integer(c_int) function ipm_sendMessageDirect(type, format, integers, reals, texts) &
            bind(C, name="ipm_sendMessageDirect")
            import :: c_char, c_int, c_ptr
            character(kind=c_char), dimension(*), intent(in) :: type, format
            type(c_ptr), value :: integers, reals, texts
        end function ipm_sendMessageDirect
    end interface

    ! Fortran strings as C texts, kept for as long as the call that reads them.
    type :: text_list
        character(kind=c_char), allocatable :: characters(:)
        type(c_ptr), allocatable :: pointers(:)
    end type text_list

    ! A C program's arguments begin with its name, which the library skips.
    character(kind=c_char, len=8), target, save :: program_name = 'fortran'//c_null_char

contains

    ! Starts reporting with the options on the program's own command line, or with the given
    ! ones, one argument each as on a command line: [character(len=8) :: '-job', 'beam', ...].
    ! Answers IPM_REPORTING_ON or why not; the library has said why on stderr.
    integer function ipm_start(options) result(answer)
        character(len=*), intent(in), optional :: options(:)
        type(text_list), target :: given
        type(c_ptr), allocatable, target :: argv(:)

        if (.not. present(options)) then
            answer = ipm_startReporting(0_c_int, c_null_ptr)
            return
        end if
        call fill_text_list(given, options, size(options))
        allocate (argv(size(options) + 1))
        argv(1) = c_loc(program_name)
        argv(2:) = given%pointers(1:size(options))
        answer = ipm_startReporting(int(size(argv), c_int), c_loc(argv(1)))
    end function ipm_start

    subroutine ipm_stop()
        call ipm_stopReporting()
    end subroutine ipm_stop

    ! True once the monitor has sent Kill.
    logical function ipm_kill_requested()
        ipm_kill_requested = ipm_killRequested() /= 0
    end function ipm_kill_requested

    ! ipm_sendMessage: the report is recorded and delivered by the library's thread.
    subroutine ipm_report(type, format, integers, reals, texts)
        character(len=*), intent(in) :: type
        character(len=*), intent(in), optional :: format
        integer(c_int), intent(in), optional :: integers(:)
        real(c_double), intent(in), optional :: reals(:)
        character(len=*), intent(in), optional :: texts(:)
        call send(.false., type, format, integers, reals, texts)
    end subroutine ipm_report

    ! ipm_sendMessageDirect: handed to the transport at once, neither recorded nor capped.
    subroutine ipm_report_direct(type, format, integers, reals, texts)
        character(len=*), intent(in) :: type
        character(len=*), intent(in), optional :: format
        integer(c_int), intent(in), optional :: integers(:)
        real(c_double), intent(in), optional :: reals(:)
        character(len=*), intent(in), optional :: texts(:)
        call send(.true., type, format, integers, reals, texts)
    end subroutine ipm_report_direct

    subroutine send(direct, type, format, integers, reals, texts)
        logical, intent(in) :: direct
        character(len=*), intent(in) :: type
        character(len=*), intent(in), optional :: format
        integer(c_int), intent(in), optional :: integers(:)
        real(c_double), intent(in), optional :: reals(:)
        character(len=*), intent(in), optional :: texts(:)
        integer(c_int), allocatable, target :: integer_values(:)
        real(c_double), allocatable, target :: real_values(:)
        type(text_list), target :: text_values
        character(len=:), allocatable :: fields
        integer :: integer_count, real_count, text_count, given
        integer(c_int) :: ignored

        fields = ''
        if (present(format)) fields = trim(format)
        call count_values(fields, integer_count, real_count, text_count)
        allocate (integer_values(max(integer_count, 1)), real_values(max(real_count, 1)))
        integer_values = 0
        real_values = 0
        if (present(integers)) then
            given = min(integer_count, size(integers))
            integer_values(1:given) = integers(1:given)
        end if
        if (present(reals)) then
            given = min(real_count, size(reals))
            real_values(1:given) = reals(1:given)
        end if
        if (present(texts)) then
            call fill_text_list(text_values, texts, text_count)
        else
            call fill_text_list(text_values, [character(len=1) ::], text_count)
        end if
        if (direct) then
            ignored = ipm_sendMessageDirect(c_text(type), c_text(fields), &
                                            c_loc(integer_values(1)), c_loc(real_values(1)), &
                                            c_loc(text_values%pointers(1)))
        else
            ignored = ipm_sendMessage(c_text(type), c_text(fields), c_loc(integer_values(1)), &
                                      c_loc(real_values(1)), c_loc(text_values%pointers(1)))
        end if
    end subroutine send

    ! The string without its trailing blanks, ended by NUL.
    pure function c_text(text)
        character(len=*), intent(in) :: text
        character(kind=c_char, len=len_trim(text) + 1) :: c_text
        c_text = trim(text)//c_null_char
    end function c_text

    ! The first `wanted` strings as C texts; those missing are empty.
    subroutine fill_text_list(list, strings, wanted)
        type(text_list), intent(inout), target :: list
        character(len=*), intent(in) :: strings(:)
        integer, intent(in) :: wanted
        integer :: i, j, at, length

        length = wanted
        do i = 1, min(wanted, size(strings))
            length = length + len_trim(strings(i))
        end do
        allocate (list%characters(max(length, 1)), list%pointers(max(wanted, 1)))
        list%pointers(1) = c_null_ptr
        at = 1
        do i = 1, wanted
            list%pointers(i) = c_loc(list%characters(at))
            if (i <= size(strings)) then
                do j = 1, len_trim(strings(i))
                    list%characters(at) = strings(i) (j:j)
                    at = at + 1
                end do
            end if
            list%characters(at) = c_null_char
            at = at + 1
        end do
    end subroutine fill_text_list

    ! How many values of each kind the format reads: its fields are separated by single
    ! blanks, and a field reads a value when one letter follows its first "%".
    subroutine count_values(format, integers, reals, texts)
        character(len=*), intent(in) :: format
        integer, intent(out) :: integers, reals, texts
        integer :: start, finish, percent

        integers = 0
        reals = 0
        texts = 0
        start = 1
        do while (start <= len(format))
            finish = index(format(start:), ' ')
            if (finish == 0) then
                finish = len(format)
            else
                finish = start + finish - 2
            end if
            percent = index(format(start:finish), '%')
            if (percent > 0 .and. start + percent == finish) then
                select case (format(finish:finish))
                case ('i', 'I')
                    integers = integers + 1
                case ('r', 'R')
                    reals = reals + 1
                case ('s', 'S', 'b', 'B', 'e', 'E')
                    texts = texts + 1
                end select
            end if
            start = finish + 2
        end do
    end subroutine count_values

end module ipm_reporting
