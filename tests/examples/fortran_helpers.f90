! The Fortran module's helpers against the library: options given as Fortran strings, texts
! padded with blanks, values that the format asks for beyond those given, values it does not
! read, fields that read nothing, a report without a format and one sent directly. The
! script compares the message file with what each report must record.
!     fortran_helpers DIR
program fortran_helpers
    use ipm_reporting
    implicit none
    character(len=200) :: directory

    call get_command_argument(1, directory)
    if (ipm_start([character(len=200) :: '-job', 'fhelp', '-message', 'on', '-indir', &
                   directory]) /= IPM_REPORTING_ON) stop 2
    if (ipm_start() /= IPM_REPORTING_ON) stop 3

    call ipm_report('Info', 'count=%i ratio=%r name=%s flag=%b', integers=[7], &
                    reals=[0.5d0], texts=[character(len=12) :: 'two words', 'true'])
    call ipm_report('Info', 'count=%i more=%i ratio=%r name=%s kind=%e', integers=[5])
    call ipm_report('Info', 'count=%i name=%s', integers=[1, 2, 3], &
                    texts=[character(len=4) :: 'a', 'b'])
    call ipm_report('Info', 'note=%x count=%i plain ratio=%R', integers=[4], reals=[-2.25d0])
    call ipm_report('Info')
    call ipm_report_direct('Info', 'count=%i', integers=[99])
    if (ipm_kill_requested()) stop 4
    call ipm_stop()
    call ipm_stop()
end program fortran_helpers
